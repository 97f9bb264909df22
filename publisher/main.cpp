// qordefpublish: publishes definition sets to a signed static mirror.
// Parses the command line, runs one operation and turns its Status into a
// message and an exit status (see publisher/README.md).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "publisher/metadata.h"
#include "publisher/publisher.h"
#include "publisher/verify_mirror.h"

namespace {

using publisher::Exit;
using publisher::Fail;
using publisher::Status;

const char kUsage[] =
    "usage: qordefpublish COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  init         make the signing keys and the first root of a new mirror\n"
    "  add          publish a definition set with its microdefs packages\n"
    "  refresh      re-sign timestamp (and snapshot, targets when due); run from a timer\n"
    "  rotate-root  publish a new root with new root (and optionally online) keys\n"
    "  prune        remove what no metadata has named for a timestamp lifetime\n"
    "  verify       check a mirror from a trusted root to every target\n"
    "\n"
    "Run 'qordefpublish COMMAND --help' for the options of a command.\n";

const std::map<std::string, const char*> kHelp = {
    {"init",
     "usage: qordefpublish init --repo DIR --mirror DIR [OPTIONS]\n"
     "Makes a new repository (signing keys, settings; keep it private) and an empty\n"
     "signed mirror. Ship DIR/metadata/1.root.json with the clients.\n"
     "  --root-keys N          number of root keys (default 1)\n"
     "  --root-threshold T     signatures a new root needs (default 1)\n"
     "  --deltas K             make packages from the last K sets (default 5)\n"
     "  --root-expiry D        lifetime of the root (default 365d)\n"
     "  --targets-expiry D     lifetime of targets metadata (default 90d)\n"
     "  --snapshot-expiry D    lifetime of the snapshot (default 7d)\n"
     "  --timestamp-expiry D   lifetime of the timestamp (default 1d)\n"
     "Durations: a number followed by d, h, m or s.\n"},
    {"add",
     "usage: qordefpublish add --repo DIR --product NAME [--content-type TYPE] SETDIR\n"
     "Publishes the definition set in SETDIR as the newest set of the product (and\n"
     "content type; the default store without one), with direct and hub packages\n"
     "from the recent sets, then signs new targets, snapshot and timestamp.\n"},
    {"refresh",
     "usage: qordefpublish refresh --repo DIR\n"
     "Signs a new timestamp, and a new snapshot and targets when less than half of\n"
     "their lifetime is left. Run it from a timer, well within the timestamp's lifetime.\n"},
    {"rotate-root",
     "usage: qordefpublish rotate-root --repo DIR [OPTIONS]\n"
     "Publishes the next root version, signed by the current root keys and the new\n"
     "ones, then re-signs targets, snapshot and timestamp.\n"
     "  --root-keys N          number of new root keys (default: as now)\n"
     "  --root-threshold T     threshold of the new root keys (default: as now)\n"
     "  --keep-root-keys       keep the root keys (extends the root's lifetime)\n"
     "  --online-keys          also replace the targets, snapshot and timestamp keys\n"},
    {"prune",
     "usage: qordefpublish prune --repo DIR [--dry-run]\n"
     "Removes target files and old snapshot and targets metadata that no metadata has\n"
     "named for longer than the timestamp's lifetime. Roots are kept forever.\n"
     "  --dry-run              only list what would be removed\n"},
    {"verify",
     "usage: qordefpublish verify --mirror DIR [--root FILE]\n"
     "Checks the mirror as a client would, from the trusted root FILE (default: the\n"
     "mirror's own metadata/1.root.json) to every target, and that set records, set\n"
     "files and packages agree. Prints each problem; exit status 1 when there are any.\n"},
};

const char kCommonHelp[] =
    "  --now TIME             act as if it were TIME (YYYY-MM-DDTHH:MM:SSZ)\n"
    "  --help                 show this text\n";

struct Args {
    std::string command;
    std::map<std::string, std::string> values;
    std::map<std::string, bool> flags;
    std::vector<std::string> positional;
    bool help = false;
};

Status ParseArgs(int argc, char** argv, Args* args)
{
    static const std::map<std::string, std::vector<std::string>> kValueOptions = {
        {"init",
         {"--repo", "--mirror", "--root-keys", "--root-threshold", "--deltas", "--root-expiry",
          "--targets-expiry", "--snapshot-expiry", "--timestamp-expiry"}},
        {"add", {"--repo", "--product", "--content-type"}},
        {"refresh", {"--repo"}},
        {"rotate-root", {"--repo", "--root-keys", "--root-threshold"}},
        {"prune", {"--repo"}},
        {"verify", {"--mirror", "--root"}},
    };
    static const std::map<std::string, std::vector<std::string>> kFlagOptions = {
        {"rotate-root", {"--keep-root-keys", "--online-keys"}},
        {"prune", {"--dry-run"}},
    };
    if (argc < 2)
        return Fail(Exit::kUsage, "no command given");
    args->command = argv[1];
    if (args->command == "--help" || args->command == "-h") {
        args->help = true;
        return publisher::Ok();
    }
    auto values = kValueOptions.find(args->command);
    if (values == kValueOptions.end())
        return Fail(Exit::kUsage, "unknown command: " + args->command);
    auto flags = kFlagOptions.find(args->command);
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            args->help = true;
        } else if (arg == "--now" || std::find(values->second.begin(), values->second.end(), arg) !=
                                         values->second.end()) {
            if (i + 1 >= argc)
                return Fail(Exit::kUsage, arg + " needs a value");
            args->values[arg] = argv[++i];
        } else if (flags != kFlagOptions.end() &&
                   std::find(flags->second.begin(), flags->second.end(), arg) !=
                       flags->second.end()) {
            args->flags[arg] = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail(Exit::kUsage, "unknown option for " + args->command + ": " + arg);
        } else {
            args->positional.push_back(arg);
        }
    }
    return publisher::Ok();
}

bool ParseDuration(const std::string& text, int64_t* seconds)
{
    if (text.size() < 2 || text.size() > 12)
        return false;
    int64_t unit = text.back() == 'd'   ? 86400
                   : text.back() == 'h' ? 3600
                   : text.back() == 'm' ? 60
                   : text.back() == 's' ? 1
                                        : 0;
    std::string digits = text.substr(0, text.size() - 1);
    if (unit == 0 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *seconds = std::stoll(digits) * unit;
    return *seconds > 0 && *seconds <= int64_t(100) * 365 * 86400;
}

bool ParseCount(const std::string& text, int max, int* out)
{
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoi(text);
    return *out >= 0 && *out <= max;
}

// Progress on standard error, only for a person watching a terminal.
void ShowProgress(const char* what, uint64_t done, uint64_t total)
{
    static std::string last;
    std::string line =
        std::string(what) + " " + std::to_string(total == 0 ? 100 : done * 100 / total) + "%";
    if (line == last)
        return;
    last = line;
    fprintf(stderr, "\r%-60s%s", line.c_str(), done >= total ? "\n" : "");
    fflush(stderr);
}

Status Require(const Args& args, const char* option, std::string* out)
{
    auto it = args.values.find(option);
    if (it == args.values.end() || it->second.empty())
        return Fail(Exit::kUsage, std::string(option) + " is required");
    *out = it->second;
    return publisher::Ok();
}

Status Run(const Args& args, int64_t now)
{
    std::string repo, mirror;
    Status st;
    if (args.command == "verify") {
        st = Require(args, "--mirror", &mirror);
        if (!st.ok())
            return st;
        auto root = args.values.find("--root");
        std::string rootPath =
            root != args.values.end() ? root->second : mirror + "/" + publisher::RootPath(1);
        std::string rootBytes, summary;
        st = publisher::ReadFileCapped(rootPath, publisher::kRootCap, &rootBytes);
        if (!st.ok())
            return Fail(Exit::kUsage, "cannot read the trusted root: " + st.message);
        if (root == args.values.end())
            fprintf(stderr,
                    "trusting the mirror's own %s (give --root to check against a "
                    "root you hold)\n",
                    publisher::RootPath(1).c_str());
        std::vector<std::string> problems = publisher::VerifyMirror(
            mirror, rootBytes, now, isatty(2) ? ShowProgress : publisher::ProgressFn(), &summary);
        for (const std::string& p : problems) printf("%s\n", p.c_str());
        if (!problems.empty())
            return Fail(Exit::kProblems, std::to_string(problems.size()) + " problem(s) found");
        printf("mirror is sound: %s\n", summary.c_str());
        return publisher::Ok();
    }
    st = Require(args, "--repo", &repo);
    if (!st.ok())
        return st;
    if (args.command == "init") {
        publisher::InitOptions options;
        st = Require(args, "--mirror", &mirror);
        if (!st.ok())
            return st;
        for (const auto& [name, value] : args.values) {
            bool ok = true;
            int count = 0;
            if (name == "--root-keys")
                ok = ParseCount(value, 32, &options.rootKeys);
            else if (name == "--root-threshold")
                ok = ParseCount(value, 32, &options.rootThreshold);
            else if (name == "--deltas")
                ok = ParseCount(value, 100, &count), options.deltas = static_cast<uint64_t>(count);
            else if (name == "--root-expiry")
                ok = ParseDuration(value, &options.life.root);
            else if (name == "--targets-expiry")
                ok = ParseDuration(value, &options.life.targets);
            else if (name == "--snapshot-expiry")
                ok = ParseDuration(value, &options.life.snapshot);
            else if (name == "--timestamp-expiry")
                ok = ParseDuration(value, &options.life.timestamp);
            if (!ok)
                return Fail(Exit::kUsage, "bad value for " + name + ": " + value);
        }
        st = publisher::Publisher::Init(repo, mirror, options, now);
        if (st.ok())
            printf("initialised %s; clients trust %s/%s\n", mirror.c_str(), mirror.c_str(),
                   publisher::RootPath(1).c_str());
        return st;
    }

    publisher::Publisher pub;
    st = publisher::Publisher::Open(repo, now, &pub);
    if (!st.ok())
        return st;
    if (isatty(2))
        pub.SetProgress(ShowProgress);
    if (args.command == "add") {
        publisher::AddRequest request;
        st = Require(args, "--product", &request.product);
        if (!st.ok())
            return st;
        if (args.positional.size() != 1)
            return Fail(Exit::kUsage, "add needs exactly one set directory");
        auto type = args.values.find("--content-type");
        if (type != args.values.end())
            request.contentType = type->second;
        request.setDir = args.positional[0];
        st = pub.Add(request);
    } else if (args.command == "refresh") {
        st = pub.Refresh();
    } else if (args.command == "rotate-root") {
        publisher::RotateOptions options;
        auto keys = args.values.find("--root-keys");
        auto threshold = args.values.find("--root-threshold");
        if ((keys != args.values.end() && !ParseCount(keys->second, 32, &options.rootKeys)) ||
            (threshold != args.values.end() &&
             !ParseCount(threshold->second, 32, &options.rootThreshold)))
            return Fail(Exit::kUsage, "bad number of root keys or threshold");
        options.keepRootKeys = args.flags.count("--keep-root-keys") != 0;
        options.newOnlineKeys = args.flags.count("--online-keys") != 0;
        st = pub.RotateRoot(options);
    } else if (args.command == "prune") {
        st = pub.Prune(args.flags.count("--dry-run") != 0);
    }
    for (const std::string& line : pub.Report()) printf("%s\n", line.c_str());
    return st;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        Args args;
        Status st = ParseArgs(argc, argv, &args);
        if (!st.ok()) {
            fprintf(stderr, "qordefpublish: %s\n%s", st.message.c_str(), kUsage);
            return static_cast<int>(st.code);
        }
        if (args.help) {
            auto help = kHelp.find(args.command);
            if (help == kHelp.end())
                fputs(kUsage, stdout);
            else
                printf("%s%s", help->second, kCommonHelp);
            return 0;
        }
        int64_t now = time(nullptr);
        auto at = args.values.find("--now");
        if (at != args.values.end() && !publisher::ParseTime(at->second, &now)) {
            fprintf(stderr, "qordefpublish: --now needs YYYY-MM-DDTHH:MM:SSZ\n");
            return static_cast<int>(Exit::kUsage);
        }
        st = Run(args, now);
        if (!st.ok())
            fprintf(stderr, "qordefpublish %s: %s\n", args.command.c_str(), st.message.c_str());
        return static_cast<int>(st.code);
    } catch (const std::exception& e) {
        fprintf(stderr, "qordefpublish: %s\n", e.what());
        return static_cast<int>(Exit::kIo);
    }
}
