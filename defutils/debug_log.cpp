// The debug-log writer and its callback slots.
#include <cstdarg>

#include "defutils/defutils.h"
#include "platform/bounded.h"

namespace {
// One line: the "%p " prefix plus the message, at most 8191 characters.
constexpr size_t kLogLineSize = 8192;
}  // namespace

DuResult CDefUtils::AddLogCallback(CLogCallback* pCallback)
{
    if (pCallback == nullptr) {
        m_duLastResult = DU_E_INVALID_PARAMETER;
    } else if (m_apLogCallbacks[MAX_LOG_CALLBACKS - 1] != nullptr) {
        m_duLastResult = DU_E_LOG_CALLBACKS_FULL;
    } else {
        int slot = 0;
        while (m_apLogCallbacks[slot] != nullptr) ++slot;
        m_apLogCallbacks[slot] = pCallback;
        m_duLastResult = DU_S_OK;
    }
    return m_duLastResult;
}

DuResult CDefUtils::RemoveLogCallback(CLogCallback* pCallback)
{
    if (pCallback == nullptr) {
        m_duLastResult = DU_E_INVALID_PARAMETER;
        return m_duLastResult;
    }
    int slot = 0;
    while (slot < MAX_LOG_CALLBACKS && m_apLogCallbacks[slot] != pCallback) ++slot;
    if (slot == MAX_LOG_CALLBACKS) {
        m_duLastResult = DU_E_MISSING_LOG_CALLBACK;
        return m_duLastResult;
    }
    // Keep the occupied slots packed at the front: the first null ends the list.
    for (; slot < MAX_LOG_CALLBACKS - 1; ++slot)
        m_apLogCallbacks[slot] = m_apLogCallbacks[slot + 1];
    m_apLogCallbacks[MAX_LOG_CALLBACKS - 1] = nullptr;
    m_duLastResult = DU_S_OK;
    return m_duLastResult;
}

void CDefUtils::WriteLog(const char* pszFormat, ...)
{
    // Most runs have no log at all: do not pay for formatting then.
    if (!m_pLogFile && m_apLogCallbacks[0] == nullptr)
        return;

    char szLine[kLogLineSize];
    size_t nPrefix = BoundedFormat(szLine, sizeof szLine, "%p ", static_cast<void*>(this));
    va_list args;
    va_start(args, pszFormat);
    BoundedFormatV(szLine + nPrefix, sizeof szLine - nPrefix, pszFormat, args);
    va_end(args);

    if (m_pLogFile) {
        fputs(szLine, m_pLogFile.get());
        fflush(m_pLogFile.get());
    }
    for (int slot = 0; slot < MAX_LOG_CALLBACKS && m_apLogCallbacks[slot] != nullptr; ++slot)
        m_apLogCallbacks[slot]->OnLogLine(szLine);
}
