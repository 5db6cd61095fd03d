// Association measures of kova._kernels, one header per concern:
//   association_cores.hpp   strided views and the cores of Theil's U and the correlation ratio;
//   association_codes.hpp   their 1-D kernels (float codes) and matrix kernels (integer codes);
//   rank_correlation.hpp    Spearman's rank correlation matrix.
#pragma once

#include "kova/association_codes.hpp"
#include "kova/association_cores.hpp"
#include "kova/rank_correlation.hpp"
