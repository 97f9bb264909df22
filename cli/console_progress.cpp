#include "cli/console_progress.h"

#include <cstdio>

void CQorDefUtilProgress::OnProgress(double dPercent, bool*)
{
    // Single precision on purpose: the printed digits are part of the
    // output that callers parse.
    float fPercent = static_cast<float>(dPercent);
    printf("%f%%\n", static_cast<double>(fPercent));
}
