// Command handlers: one per command of the command line.
//
// Each handler creates its own store manager (or update-client runner),
// initialises it for the content type and AppId from the command line,
// calls one or a few store operations, writes at most one line of output
// and returns a command result code (updater/command_result.h: kCmdOk on
// success, else a failure with a fixed message). Handlers print no failure
// messages; main does. The one exception is a value refused before it
// reaches the store (an AppId with "=", a content type with "/", a product
// name with "$("): one line on standard error names the value and the
// reason, before main's message.
#pragma once

void ReportRefusedValue(const char* pszWhat, const char* pszValue, const char* pszWhy);
// Reports a content type that cannot name a store; true when it was refused.
bool ReportRefusedContentType(const char* pszContentType);

int DoGetCurrentDefs(const char* pszAppId, const char* pszContentType);
int DoInstall(const char* pszSourceDir, const char* pszContentType);
int DoUninstall(const char* pszAppId, const char* pszContentType);
int DoSkyfetcher(const char* pszValue);
int DoNewest(const char* pszAppId, const char* pszContentType);
int DoMicroDefs(const char* pszProduct, const char* pszContentType);
int DoRestoreLastDefs(const char* pszContentType);
int DoRegisterProduct(const char* pszProduct);
int DoUnregisterProduct();

int RegisterProductInternal(const char* pszProduct);
int UnregisterProductInternal();
