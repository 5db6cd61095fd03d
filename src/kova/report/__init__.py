"""The report of the main job: `build.build_report` runs the sections of `sections.SECTIONS`
in order on one `context.ReportContext` and `page.Page` writes the self-contained HTML page.

Layering (imports point down): build -> sections -> context -> model, alerts; page, charts.
"""
