// Names of everything the store keeps on disk: the configuration files'
// sections and keys, the entries of the definitions directory, the files of
// a definition set, the catalog sections and the lock files.
//
// This header is the single place those names are spelled; every store
// operation takes them from here, so a rename is one edit. It holds only
// constants: no state, nothing to call, nothing that can fail. Log and
// system-log texts are NOT here: they stay whole at their call sites so that
// a search for a line finds the code that writes it.
//
// The configuration file paths themselves come from system_config.h, because
// the test build redirects them.
#pragma once

// --- Machine configuration ---------------------------------------------------
// Tarvolix.conf: the store's base directory.
constexpr char kTarvolixSharedSection[] = "Tarvolix Shared";
constexpr char kTarvolixSection[] = "tarvolix";  // base used when creating the store
constexpr char kBaseDirKey[] = "BaseDir";

// tvlx-defutils.conf: the debug log name and the last microdefs outcomes.
constexpr char kDefutilLogSection[] = "defutillog";
constexpr char kDefutilLogNameKey[] = "defutillog_name";
constexpr char kSharedMicroDefsSection[] = "tvlxdata-shareddefs-microdefs";
constexpr char kLastBinUpdateKey[] = "LastBinUpdate";
constexpr char kLastTextUpdateKey[] = "LastTextUpdate";

// Debug log file extensions accepted as given; anything else gets ".log".
constexpr char kLogExtension[] = ".log";
constexpr char kTextExtension[] = ".txt";

// --- Definitions directory ----------------------------------------------------
// Default content lives in <base>/virusdefs, alternate content in
// <base>/tvlxdata/<type in lower case>.
constexpr char kVirusDefsDir[] = "virusdefs";
constexpr char kContentDataDir[] = "tvlxdata";

// Names derived from a content type (kept for compatibility; see SetupNames
// and InitBase).
constexpr char kContentDataPrefix[] = "tvlxdata-";
constexpr char kContentSharedPrefix[] = "tvlxdata-shareddefs-tvlxdata-";
constexpr char kMicroDefsSectionFormat[] = "tvlxdata-%s-microdefs";
constexpr char kDefaultSfRegName[] = "QORDefsInstallDir";
constexpr char kDefaultSfBinRegName[] = "QORDefsBinInstallDir";
constexpr char kRegNameSuffix[] = "InstallDir";
constexpr char kIncrRegInfix[] = "-incr-";

// Entries of the definitions directory.
constexpr char kDefInfoFile[] = "definfo.dat";
constexpr char kUsageFile[] = "usage.dat";
constexpr char kIncomingDir[] = "incoming";
constexpr char kTmpDirPrefix[] = "tmp";
constexpr char kBinHubDir[] = "binhub";
constexpr char kTextHubDir[] = "texthub";

// definfo.dat: which set is newest and which was newest before it. Readers
// pass kKeyMissing as the default and treat it as "no value".
constexpr char kDefDatesSection[] = "DefDates";
constexpr char kCurDefsKey[] = "CurDefs";
constexpr char kLastDefsKey[] = "LastDefs";
constexpr char kKeyMissing[] = "KeyMissing";

// usage.dat: one section per set in use, one "<AppId>=1" entry per user.
constexpr char kUsageValue[] = "1";

// --- Files of a definition set ------------------------------------------------
constexpr char kVirscan1File[] = "virscan1.dat";  // main file; its header dates the set
constexpr char kVirscanTextFile[] = "virscant.dat";
constexpr char kHubScrFile[] = "hub.scr";
constexpr char kCurScrFile[] = "cur.scr";
constexpr char kCatalogFile[] = "catalog.dat";

// Set directories are named from the main file's header date.
constexpr char kDefDirNameFormat[] = "%04d%02d%02d.%03ld";

// catalog.dat sections; each lists plain file names, one per line.
constexpr char kCatalogFilesSection[] = "Files";
constexpr char kCatalogCleanupSection[] = "Cleanup Files";
constexpr char kCatalogTextHubSection[] = "Text Hub Files";
constexpr char kCatalogBinHubCommonSection[] = "Binary Hub Files - Common";
constexpr char kCatalogBinHubLinuxSection[] = "Binary Hub Files - Linux";

// --- Application install directory --------------------------------------------
constexpr char kDefLocFile[] = "defloc.dat";
constexpr char kDefLocSection[] = "DefBaseLocation";
constexpr char kDefLocKey[] = "Location";

// --- Lock files ---------------------------------------------------------------
constexpr char kInLockFile[] = "inlock.dat";  // in the incoming directory
constexpr char kSfLockFile[] = "sflock.dat";  // in the definitions directory
constexpr char kLockGuardSuffix[] = ".l2";    // appended to a lock file's path
