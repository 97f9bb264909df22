// Progress adapter between a patch library and the store manager's
// progress reporter.
//
// The patch library reports progress through CPatchApplicationNotify
// (common/patch_interface.h); CDefUtilsProgress forwards each value to a
// CDefUtils::CProgress supplied by the caller (or drops it when there is
// none) and passes a cancel request back. One instance lives for one apply
// call; it owns nothing.
#pragma once

#include "common/patch_interface.h"
#include "defutils/defutils.h"

class CDefUtilsProgress : public CPatchApplicationNotify {
public:
    explicit CDefUtilsProgress(CDefUtils::CProgress* pProgress) : m_pProgress(pProgress) {}
    void OnProgress(uint32_t nProgress, uint32_t* pnCancel) override;

private:
    CDefUtils::CProgress* m_pProgress;
};
