// Command handlers: one per command of the command line.
//
// Each handler creates its own store manager (or update-client runner),
// initialises it for the content type and AppId from the command line,
// calls one or a few store operations, writes at most one line of output
// and returns a command result code (0 success, 1 to 17 with fixed
// messages). Handlers print no failure messages; main does.
#pragma once

class CDefUtils;

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

// The steps the AppId commands share: when a content type is given it must
// have a store (else 15); switch the store manager to it; set the AppId
// (else 5). Returns 0 when the command may go on.
int CommonPreamble(CDefUtils& du, const char* pszAppId, const char* pszContentType);
