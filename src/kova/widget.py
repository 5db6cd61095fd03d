"""Small ipywidgets helpers of the dashboard (notifications, spacers).

Kept apart from `kova.utils` so that the analyses, which import `kova.utils`, never load
ipywidgets; `kova.utils.KovaWidget` imports this module on first use.
"""

from __future__ import annotations

import html

import ipywidgets as widgets

from kova.exceptions import KovaError

__all__ = ["KovaWidget"]


_NOTIFICATION_STYLES = {
    "info": {"color": "#0c5460", "background": "#d1ecf1", "border": "#17a2b8", "icon": "ℹ"},
    "error": {"color": "#721c24", "background": "#f8d7da", "border": "#dc3545", "icon": "✖"},
}


class KovaWidget:
    """Widget helpers of the dashboard; used through its class-level functions."""

    @staticmethod
    def notification(
        text: str = "", signal_type: str = "info", highcode_mode: bool = False
    ) -> widgets.HTML:
        """Return an HTML widget showing ``text`` styled as an "info" or "error" message.

        The text is HTML-escaped. With ``highcode_mode`` the message is a single coloured
        line (for script-style use) instead of the dashboard's boxed card.
        """
        style = _NOTIFICATION_STYLES.get(signal_type)
        if style is None:
            raise KovaError(
                f"Invalid value for 'signal_type': {signal_type!r}. "
                f"Allowed values: {list(_NOTIFICATION_STYLES)}"
            )
        message = html.escape(str(text))
        if highcode_mode:
            body = f"<span style='color: {style['border']};'>{style['icon']} {message}</span>"
        else:
            body = (
                f"<div style='color: {style['color']}; background: {style['background']}; "
                f"border-left: 4px solid {style['border']}; border-radius: 4px; "
                f"padding: 8px 12px; margin: 4px 0px;'>{style['icon']} {message}</div>"
            )
        notice = widgets.HTML(value=body, layout=widgets.Layout(width="100%"))
        notice.add_class(f"kova-notification-{signal_type}")
        return notice

    @staticmethod
    def margin_right(width: str) -> widgets.Box:
        """Return an empty spacer widget ``width`` wide (a CSS length such as "10px")."""
        return widgets.Box(layout=widgets.Layout(width=width, min_width=width))

    @staticmethod
    def margin_top(height: str) -> widgets.Box:
        """Return an empty spacer widget ``height`` high (a CSS length such as "20px")."""
        return widgets.Box(layout=widgets.Layout(height=height, min_height=height))
