// Result codes of the qordefutil commands. Each becomes the process exit
// status and picks the "Command failed: ..." message, so the numbers are
// fixed: scripts and installers test them.
//
// The header lives in updater/ because the update-client runs return these
// codes themselves and updater sits below cli; both include it from here.
#pragma once

enum CommandResult : int {
    kCmdOk = 0,
    kCmdInstallInitFailed = 1,
    kCmdPreUpdateFailed = 2,
    kCmdPostUpdateFailed = 3,
    kCmdCurrentDefsFailed = 4,
    kCmdAppInitFailed = 5,
    kCmdUninstallFailed = 6,
    // 7, 8, 12 and 13 keep their messages, but no command returns them.
    kCmdNoClassPath = 7,
    kCmdNoBaseDir = 8,
    kCmdUpdateClientFailed = 9,
    kCmdNewestFailed = 10,
    kCmdCopyFailed = 11,
    kCmdNoJava = 12,
    kCmdSequenceFailed = 13,
    kCmdMicroDefPostUpdateFailed = 14,
    kCmdNoContentType = 15,
    kCmdClientAndMicroDefPostFailed = 16,
    kCmdMicroDefPreUpdateFailed = 17,
    kCmdResultCount  // one past the last code
};
