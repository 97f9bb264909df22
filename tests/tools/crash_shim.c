/* Crash injection for the store commands, loaded with LD_PRELOAD.
 *
 * Counts the system calls of the process that change the file system and,
 * with QDU_CRASH_AT=N in the environment, kills the process with SIGKILL
 * just before the Nth of them would run. QDU_CRASH_TRACE=<file> appends one
 * line per counted call, "N syscall target", where target is the path or
 * the file behind the descriptor; a clean run's trace therefore gives the
 * number of kill points, and a killed run's last line names the call it
 * never made. Without either variable the library does nothing.
 *
 * Counted: open, openat, openat2 and creat that may write or create (write
 * access, O_CREAT or O_TRUNC), writes and truncations of regular files, and
 * every call that creates, removes, renames, links, changes the owner, mode
 * or times of a file, or copies into one. Writes to pipes and terminals are
 * not counted: they change nothing on disk.
 *
 * Why a seccomp filter rather than wrappers around libc functions: stdio
 * flushes, remove(), nftw() and other libc internals make their system calls
 * without going through the dynamic symbol table, and those are exactly the
 * writes that tear bookkeeping files. The filter sees every system call; it
 * traps the candidates into a SIGSYS handler, which counts, maybe kills, and
 * otherwise makes the call itself from one instruction address that the
 * filter lets through. x86-64 only; elsewhere the library does nothing and
 * the crash tests skip. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#if defined(__x86_64__)

/* qdu_raw_syscall(nr, a1..a6): the one place the filter lets through. */
long qdu_raw_syscall(long nr, long a1, long a2, long a3, long a4, long a5, long a6);
extern const char qdu_raw_syscall_after[];
__asm__(
    ".text\n"
    ".globl qdu_raw_syscall\n"
    ".hidden qdu_raw_syscall\n"
    ".type qdu_raw_syscall,@function\n"
    "qdu_raw_syscall:\n"
    "  movq %rdi, %rax\n"
    "  movq %rsi, %rdi\n"
    "  movq %rdx, %rsi\n"
    "  movq %rcx, %rdx\n"
    "  movq %r8, %r10\n"
    "  movq %r9, %r8\n"
    "  movq 8(%rsp), %r9\n"
    "  syscall\n"
    ".globl qdu_raw_syscall_after\n"
    ".hidden qdu_raw_syscall_after\n"
    "qdu_raw_syscall_after:\n"
    "  ret\n"
    ".size qdu_raw_syscall, .-qdu_raw_syscall\n");

static long g_killAt;      /* 0: count only */
static long g_count;       /* counted calls so far, all threads */
static int g_traceFd = -1; /* -1: no trace */

enum Target { kPath0, kPath1, kAtPath, kFd0, kFd2, kNone };

struct Watched {
    long nr;
    const char* name;
    enum Target target;
};

/* Trapped unconditionally (writes are filtered by file type in the handler). */
static const struct Watched kWatched[] = {
    {SYS_write, "write", kFd0},
    {SYS_pwrite64, "pwrite", kFd0},
    {SYS_writev, "writev", kFd0},
    {SYS_pwritev, "pwritev", kFd0},
    {SYS_pwritev2, "pwritev2", kFd0},
    {SYS_ftruncate, "ftruncate", kFd0},
    {SYS_truncate, "truncate", kPath0},
    {SYS_fallocate, "fallocate", kFd0},
    {SYS_creat, "creat", kPath0},
    {SYS_openat2, "openat2", kAtPath},
    {SYS_unlink, "unlink", kPath0},
    {SYS_unlinkat, "unlinkat", kAtPath},
    {SYS_rmdir, "rmdir", kPath0},
    {SYS_mkdir, "mkdir", kPath0},
    {SYS_mkdirat, "mkdirat", kAtPath},
    {SYS_mknod, "mknod", kPath0},
    {SYS_mknodat, "mknodat", kAtPath},
    {SYS_rename, "rename", kPath0},
    {SYS_renameat, "renameat", kAtPath},
    {SYS_renameat2, "renameat2", kAtPath},
    {SYS_link, "link", kPath1},
    {SYS_linkat, "linkat", kAtPath},
    {SYS_symlink, "symlink", kPath1},
    {SYS_symlinkat, "symlinkat", kNone},
    {SYS_chown, "chown", kPath0},
    {SYS_lchown, "lchown", kPath0},
    {SYS_fchown, "fchown", kFd0},
    {SYS_fchownat, "fchownat", kAtPath},
    {SYS_chmod, "chmod", kPath0},
    {SYS_fchmod, "fchmod", kFd0},
    {SYS_fchmodat, "fchmodat", kAtPath},
    {SYS_utime, "utime", kPath0},
    {SYS_utimes, "utimes", kPath0},
    {SYS_futimesat, "futimesat", kAtPath},
    {SYS_utimensat, "utimensat", kAtPath},
    {SYS_copy_file_range, "copy_file_range", kFd2},
    {SYS_sendfile, "sendfile", kFd0},
    {SYS_execve, "execve", kPath0},
    {SYS_execveat, "execveat", kAtPath},
};
#define WATCHED_COUNT (sizeof kWatched / sizeof kWatched[0])

static const unsigned kOpenWrites = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;

/* --- async-signal-safe text helpers ------------------------------------ */

struct Line {
    char text[1024];
    size_t len;
};

static void Put(struct Line* line, const char* s)
{
    while (*s != '\0' && line->len < sizeof line->text - 2) line->text[line->len++] = *s++;
}

static void PutNumber(struct Line* line, long value)
{
    char digits[24];
    int n = 0;
    unsigned long v = value < 0 ? (unsigned long)-value : (unsigned long)value;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        Put(line, "-");
    while (n > 0) {
        char one[2] = {digits[--n], '\0'};
        Put(line, one);
    }
}

/* The file behind a descriptor, from /proc; "fd N" when it cannot be read. */
static void PutFd(struct Line* line, int fd)
{
    struct Line proc = {.len = 0};
    Put(&proc, "/proc/self/fd/");
    PutNumber(&proc, fd);
    proc.text[proc.len] = '\0';
    char target[512];
    long n =
        qdu_raw_syscall(SYS_readlink, (long)proc.text, (long)target, sizeof target - 1, 0, 0, 0);
    if (n <= 0) {
        Put(line, "fd ");
        PutNumber(line, fd);
        return;
    }
    target[n] = '\0';
    Put(line, target);
}

static void PutAtPath(struct Line* line, long dirfd, const char* path)
{
    if (path == NULL || path[0] != '/') {
        if ((int)dirfd == AT_FDCWD) /* an int in a 64-bit register */
            Put(line, ".");
        else
            PutFd(line, (int)dirfd);
        if (path == NULL || path[0] == '\0')
            return;
        Put(line, "/");
    }
    Put(line, path);
}

/* --- the trap ------------------------------------------------------------ */

static const struct Watched* Find(long nr)
{
    for (size_t i = 0; i < WATCHED_COUNT; ++i) {
        if (kWatched[i].nr == nr)
            return &kWatched[i];
    }
    return NULL;
}

static int IsRegularFile(int fd)
{
    struct stat st;
    return qdu_raw_syscall(SYS_fstat, fd, (long)&st, 0, 0, 0, 0) == 0 && S_ISREG(st.st_mode);
}

/* Whether the trapped call changes the file system (the filter lets every
 * other open through already, but traps openat2 whatever its flags). */
static int Counts(long nr, const long* a)
{
    switch (nr) {
        case SYS_write:
        case SYS_pwrite64:
        case SYS_writev:
        case SYS_pwritev:
        case SYS_pwritev2:
        case SYS_sendfile:
            return IsRegularFile((int)a[0]);
        case SYS_openat2: {
            const struct {
                unsigned long long flags, mode, resolve;
            }* how = (const void*)a[2];
            return how != NULL && (how->flags & kOpenWrites) != 0;
        }
        default:
            return 1;
    }
}

static void Describe(struct Line* line, long n, const struct Watched* w, const long* a)
{
    PutNumber(line, n);
    Put(line, " ");
    Put(line, w != NULL ? w->name : (a[6] == SYS_open ? "open" : "openat"));
    Put(line, " ");
    enum Target target = w != NULL ? w->target : a[6] == SYS_open ? kPath0 : kAtPath;
    switch (target) {
        case kPath0:
            Put(line, (const char*)a[0]);
            break;
        case kPath1:
            Put(line, (const char*)a[1]);
            break;
        case kAtPath:
            PutAtPath(line, a[0], (const char*)a[1]);
            break;
        case kFd0:
            PutFd(line, (int)a[0]);
            break;
        case kFd2:
            PutFd(line, (int)a[2]);
            break;
        case kNone:
            break;
    }
    Put(line, "\n");
}

static void OnSigsys(int sig, siginfo_t* info, void* context)
{
    (void)sig;
    greg_t* regs = ((ucontext_t*)context)->uc_mcontext.gregs;
    long nr = info->si_syscall;
    /* a[6] carries the number for Describe's open/openat case. */
    long a[7] = {
        regs[REG_RDI], regs[REG_RSI], regs[REG_RDX], regs[REG_R10], regs[REG_R8], regs[REG_R9], nr};
    if (nr == SYS_execve || nr == SYS_execveat) {
        /* The filter would outlive the handler and kill the new program at
         * its first write; fail in a way a test can tell apart. */
        static const char message[] = "crash_shim: the program under test may not exec\n";
        qdu_raw_syscall(SYS_write, STDERR_FILENO, (long)message, sizeof message - 1, 0, 0, 0);
        qdu_raw_syscall(SYS_exit_group, 126, 0, 0, 0, 0, 0);
    }
    if (Counts(nr, a)) {
        long n = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
        if (g_traceFd >= 0) {
            struct Line line = {.len = 0};
            Describe(&line, n, Find(nr), a);
            qdu_raw_syscall(SYS_write, g_traceFd, (long)line.text, (long)line.len, 0, 0, 0);
        }
        if (n == g_killAt)
            qdu_raw_syscall(SYS_kill, qdu_raw_syscall(SYS_getpid, 0, 0, 0, 0, 0, 0), SIGKILL, 0, 0,
                            0, 0);
    }
    regs[REG_RAX] = qdu_raw_syscall(nr, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* --- the filter ---------------------------------------------------------- */

#define STMT(code, k) ((struct sock_filter)BPF_STMT(code, k))
#define JUMP(code, k, jt, jf) ((struct sock_filter)BPF_JUMP(code, k, jt, jf))
#define LOAD(field) STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, field))
#define LOAD_HIGH(field) STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, field) + 4)

static int InstallFilter(void)
{
    struct sock_filter prog[WATCHED_COUNT + 32];
    size_t n = 0;
    /* Layout, every jump forward: [checks] ... ALLOW, TRAP at the end. */
    const size_t allow = 7 + WATCHED_COUNT + 6, trap = allow + 1;
#define TO(label) ((unsigned char)((label)-n - 1))
    uintptr_t after = (uintptr_t)qdu_raw_syscall_after;
    prog[n] = LOAD(arch), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, TO(allow)), ++n;
    prog[n] = LOAD(instruction_pointer), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)after, 0, 2), ++n;
    prog[n] = LOAD_HIGH(instruction_pointer), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)(after >> 32), TO(allow), 0), ++n;
    prog[n] = LOAD(nr), ++n;
    for (size_t i = 0; i < WATCHED_COUNT; ++i)
        prog[n] = JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)kWatched[i].nr, TO(trap), 0), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 0, 2), ++n;
    prog[n] = LOAD(args[1]), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JSET | BPF_K, kOpenWrites, TO(trap), TO(allow)), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, TO(allow)), ++n;
    prog[n] = LOAD(args[2]), ++n;
    prog[n] = JUMP(BPF_JMP | BPF_JSET | BPF_K, kOpenWrites, TO(trap), TO(allow)), ++n;
    prog[n] = STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW), ++n;
    prog[n] = STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP), ++n;
#undef TO
    if (n != trap + 1)
        return -1;
    struct sock_fprog fprog = {(unsigned short)n, prog};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    return (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog);
}

__attribute__((constructor)) static void Start(void)
{
    const char* at = getenv("QDU_CRASH_AT");
    const char* trace = getenv("QDU_CRASH_TRACE");
    if (at == NULL && trace == NULL)
        return;
    g_killAt = at != NULL ? strtol(at, NULL, 10) : 0;
    if (trace != NULL)
        g_traceFd = open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSigsys;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if ((trace != NULL && g_traceFd < 0) || sigaction(SIGSYS, &action, NULL) != 0 ||
        InstallFilter() != 0) {
        /* A test that believes it injects crashes must not pass silently. */
        static const char message[] = "crash_shim: cannot install the system call filter\n";
        (void)!write(STDERR_FILENO, message, sizeof message - 1);
        _exit(125);
    }
}

#endif
