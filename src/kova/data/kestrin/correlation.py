"""Association measures of the data-integrity checks, implemented in ``kova._kernels``.

``symmetric_theil_u_correlation(a, b)`` takes two equal-length 1-D sequences of category codes
and returns 2 I(a;b) / (H(a) + H(b)); ``correlation_ratio(categories, values)`` returns the
correlation ratio of ``values`` grouped by ``categories``, the argument order in which
``DataFrame.corrwith(codes, method=correlation_ratio)`` passes them.
"""

from ..._kernels import correlation_ratio, symmetric_theil_u_correlation

__all__ = ["correlation_ratio", "symmetric_theil_u_correlation"]
