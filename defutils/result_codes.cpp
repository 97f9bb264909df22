// The result-code table and its name look-ups.
#include <cstring>

#include "defutils/defutils.h"
#include "platform/bounded.h"

namespace {

struct ResultRow {
    DuResult code;
    const char* pszName;
    const wchar_t* pwszName;
};

#define DU_ROW(code)           \
    {                          \
        code, #code, L## #code \
    }

// Searched linearly in this order; codes without a row have no name.
const ResultRow kResultTable[] = {
    DU_ROW(DU_S_OK),
    DU_ROW(DU_S_FALSE),
    DU_ROW(DU_S_INCOMING_LOCK_FAILED),
    DU_ROW(DU_S_INCOMING_AUTH_FAILED),
    DU_ROW(DU_S_AUTH_FAILED_USING_OLD),
    DU_ROW(DU_S_MISSING_DEFS_USING_OLD),
    DU_ROW(DU_E_GENERAL),
    DU_ROW(DU_E_INVALID_PARAMETER),
    DU_ROW(DU_E_FILE_FORMAT),
    DU_ROW(DU_E_MEM_ALLOC),
    DU_ROW(DU_E_FILE_COPY),
    DU_ROW(DU_E_DEFINFO_UPDATE),
    DU_ROW(DU_E_MISSING_PATCH_DLL),
    DU_ROW(DU_E_SF_LOCK_FAILED),
    DU_ROW(DU_E_APPLY_PATCH),
    DU_ROW(DU_E_MISSING_DEF_BASE_DIR),
    DU_ROW(DU_E_MISSING_DEF_DIR),
    DU_ROW(DU_E_MISSING_DEFINFO),
    DU_ROW(DU_E_AUTH),
    DU_ROW(DU_E_VIRSCAN1_OPEN),
    DU_ROW(DU_E_VIRSCAN1_READ),
    DU_ROW(DU_E_MISSING_APPID),
    DU_ROW(DU_E_MISSING_SECTION),
    DU_ROW(DU_E_SECURITY),
    DU_ROW(DU_E_MISSING_GUARD_FILE),
    DU_ROW(DU_E_MISSING_SIGNATURE_FILE),
    DU_ROW(DU_E_MISSING_CATALOG_FILE),
    DU_ROW(DU_E_AUTH_FAILED_NO_RECOVERY),
    DU_ROW(DU_E_CREATE_TEMP_DIR),
    DU_ROW(DU_E_LOG_CALLBACKS_FULL),
    DU_ROW(DU_E_MISSING_LOG_CALLBACK),
    DU_ROW(DU_E_MISSING_FILES),
    DU_ROW(DU_E_APPID_NOT_REGISTERED),
    DU_ROW(DU_E_MISSING_DEFS_NO_RECOVERY),
};

#undef DU_ROW

const ResultRow* FindRow(DuResult code)
{
    for (const ResultRow& row : kResultTable) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

}  // namespace

const char CURDEFSTYPE[] = "CurDefs";
const char HUBDEFSTYPE[] = "HubDefs";
const char TVLALLLANGUAGES[] = "TvlAllLanguages";
const char MICRODEFCURDEFS[] = "MicroDefsB.CurDefs";

const char* CDefUtils::GetResultName(DuResult code)
{
    const ResultRow* row = FindRow(code);
    return row != nullptr ? row->pszName : "";
}

const wchar_t* CDefUtils::GetResultNameW(DuResult code)
{
    const ResultRow* row = FindRow(code);
    return row != nullptr ? row->pwszName : L"";
}

const char* CDefUtils::GetLastResultName() const
{
    return GetResultName(m_duLastResult);
}

const wchar_t* CDefUtils::GetLastResultNameW() const
{
    return GetResultNameW(m_duLastResult);
}

bool CDefUtils::CopyResultName(DuResult code, char* pszBuffer, int nSize)
{
    const ResultRow* row = FindRow(code);
    if (row == nullptr)
        return false;
    if (nSize >= 1)
        BoundedCopy(pszBuffer, static_cast<size_t>(nSize), row->pszName);
    return true;
}
