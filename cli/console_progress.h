// Console progress reporter: prints each patch progress value as a
// percentage line on standard output while microdefs are applied.
#pragma once

#include "defutils/defutils.h"

class CQorDefUtilProgress : public CDefUtils::CProgress {
public:
    // Writes "%f%%\n" with the value converted to single precision; never
    // asks to cancel.
    void OnProgress(double dPercent, bool* pbCancel) override;
};
