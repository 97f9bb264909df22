/* Crash injection (LD_PRELOAD): counts the system calls that change the file
 * system; QDU_CRASH_AT=N kills the process just before the Nth, and
 * QDU_CRASH_TRACE=<file> logs "N call target" for each. A seccomp filter, not
 * libc wrappers, because stdio, remove() and nftw() call the kernel from
 * inside libc, and those are the writes that tear bookkeeping files. The
 * SIGSYS handler calls nothing in libc: it counts, maybe kills, and makes the
 * call itself from the one address the filter lets through. x86-64 only. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#if defined(__x86_64__)

long qdu_raw_syscall(long nr, long a1, long a2, long a3, long a4, long a5, long a6);
extern const char qdu_raw_syscall_after[];
__asm__(
    ".text\n.globl qdu_raw_syscall\n.hidden qdu_raw_syscall\n.type qdu_raw_syscall,@function\n"
    "qdu_raw_syscall:\n  movq %rdi, %rax; movq %rsi, %rdi; movq %rdx, %rsi; movq %rcx, %rdx\n"
    "  movq %r8, %r10; movq %r9, %r8; movq 8(%rsp), %r9\n  syscall\n"
    ".globl qdu_raw_syscall_after\n.hidden qdu_raw_syscall_after\nqdu_raw_syscall_after:\n  ret\n");
#define RAW(nr, a, b, c) qdu_raw_syscall(nr, (long)(a), (long)(b), (long)(c), 0, 0, 0)

static long g_killAt;      /* 0: count only */
static long g_count;       /* counted calls so far, all threads */
static int g_traceFd = -1; /* -1: no trace */

/* fd, path: the arguments naming the target (-1: none). bWrite: counted for
 * regular files only. open and openat are trapped only when they may write. */
struct Watched {
    long nr;
    const char* name;
    signed char fd, path, bWrite;
};
/* clang-format off */
#define W(call, fd, path, bWrite) {SYS_##call, #call, fd, path, bWrite}
/* clang-format on */
static const struct Watched kWatched[] = {
    W(open, -1, 0, 0),       W(openat, 0, 1, 0),           W(openat2, 0, 1, 0),
    W(creat, -1, 0, 0),      W(write, 0, -1, 1),           W(pwrite64, 0, -1, 1),
    W(writev, 0, -1, 1),     W(pwritev, 0, -1, 1),         W(pwritev2, 0, -1, 1),
    W(sendfile, 0, -1, 1),   W(copy_file_range, 2, -1, 0), W(ftruncate, 0, -1, 0),
    W(truncate, -1, 0, 0),   W(fallocate, 0, -1, 0),       W(unlink, -1, 0, 0),
    W(unlinkat, 0, 1, 0),    W(rmdir, -1, 0, 0),           W(mkdir, -1, 0, 0),
    W(mkdirat, 0, 1, 0),     W(mknod, -1, 0, 0),           W(mknodat, 0, 1, 0),
    W(rename, -1, 0, 0),     W(renameat, 0, 1, 0),         W(renameat2, 0, 1, 0),
    W(link, -1, 1, 0),       W(linkat, 0, 1, 0),           W(symlink, -1, 1, 0),
    W(symlinkat, -1, -1, 0), W(chown, -1, 0, 0),           W(lchown, -1, 0, 0),
    W(fchown, 0, -1, 0),     W(fchownat, 0, 1, 0),         W(chmod, -1, 0, 0),
    W(fchmod, 0, -1, 0),     W(fchmodat, 0, 1, 0),         W(utime, -1, 0, 0),
    W(utimes, -1, 0, 0),     W(futimesat, 0, 1, 0),        W(utimensat, 0, 1, 0),
    W(execve, -1, 0, 0),     W(execveat, 0, 1, 0)};
#define WATCHED_COUNT (sizeof kWatched / sizeof kWatched[0])
static const unsigned kOpenWrites = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;

struct Line {
    char text[1024];
    size_t len;
};

static void Put(struct Line* line, const char* s)
{
    while (*s != '\0' && line->len < sizeof line->text - 2) line->text[line->len++] = *s++;
}

static void PutNumber(struct Line* line, unsigned long v) /* counts and descriptors */
{
    char digits[24], *p = digits + sizeof digits - 1;
    *p = '\0';
    do {
        *--p = (char)('0' + v % 10);
    } while ((v /= 10) != 0);
    Put(line, p);
}

/* The file behind a descriptor, or its /proc name when that cannot be read. */
static void PutFd(struct Line* line, int fd)
{
    struct Line proc = {.len = 0};
    char target[512];
    Put(&proc, "/proc/self/fd/");
    PutNumber(&proc, (unsigned)fd);
    proc.text[proc.len] = '\0';
    long n = RAW(SYS_readlink, proc.text, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    Put(line, n > 0 ? target : proc.text);
}

static void Describe(struct Line* line, long n, const struct Watched* w, const long* a)
{
    const char* path = w->path >= 0 ? (const char*)a[(int)w->path] : NULL;
    PutNumber(line, (unsigned long)n);
    Put(line, " ");
    Put(line, w->name);
    Put(line, " ");
    if (w->fd >= 0 && (path == NULL || path[0] != '/')) {
        const int fd = (int)a[(int)w->fd]; /* an int in a 64-bit register */
        fd == AT_FDCWD ? Put(line, ".") : PutFd(line, fd);
        Put(line, path != NULL && path[0] != '\0' ? "/" : "");
    }
    Put(line, path != NULL ? path : "");
    Put(line, "\n");
}

static void OnSigsys(int sig, siginfo_t* info, void* context)
{
    (void)sig;
    greg_t* regs = ((ucontext_t*)context)->uc_mcontext.gregs;
    const long nr = info->si_syscall;
    const long a[6] = {regs[REG_RDI], regs[REG_RSI], regs[REG_RDX],
                       regs[REG_R10], regs[REG_R8],  regs[REG_R9]};
    if (nr == SYS_execve || nr == SYS_execveat) {
        /* The filter would outlive the handler and kill the new program at
         * its first write; fail in a way a test can tell apart. */
        static const char message[] = "crash_shim: the program under test may not exec\n";
        RAW(SYS_write, STDERR_FILENO, message, sizeof message - 1);
        RAW(SYS_exit_group, 126, 0, 0);
    }
    const struct Watched* w = kWatched;
    while (w < kWatched + WATCHED_COUNT - 1 && w->nr != nr) ++w;
    struct stat st;
    if (w->bWrite ? RAW(SYS_fstat, (int)a[0], &st, 0) == 0 && S_ISREG(st.st_mode)
        : nr == SYS_openat2 /* struct open_how starts with the flags */
            ? a[2] != 0 && (*(const unsigned long long*)a[2] & kOpenWrites) != 0
            : 1) {
        long n = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
        if (g_traceFd >= 0) {
            struct Line line = {.len = 0};
            Describe(&line, n, w, a);
            RAW(SYS_write, g_traceFd, line.text, line.len);
        }
        if (n == g_killAt)
            RAW(SYS_kill, RAW(SYS_getpid, 0, 0, 0), SIGKILL, 0);
    }
    regs[REG_RAX] = qdu_raw_syscall(nr, a[0], a[1], a[2], a[3], a[4], a[5]);
}

static int InstallFilter(void)
{
#define EMIT(code, k, jt, jf) (prog[n] = (struct sock_filter)BPF_JUMP(code, k, jt, jf), ++n)
#define LOAD(offset) EMIT(BPF_LD | BPF_W | BPF_ABS, offset, 0, 0)
#define JEQ(k, jt, jf) EMIT(BPF_JMP | BPF_JEQ | BPF_K, k, jt, jf)
#define TO(label) ((unsigned char)((label)-n - 1))
    struct sock_filter prog[WATCHED_COUNT + 32];
    size_t n = 0;
    const size_t allow = 7 + (WATCHED_COUNT - 2) + 6, trap = allow + 1;
    const uintptr_t after = (uintptr_t)qdu_raw_syscall_after;
    const size_t ip = offsetof(struct seccomp_data, instruction_pointer);
    LOAD(offsetof(struct seccomp_data, arch));
    JEQ(AUDIT_ARCH_X86_64, 0, TO(allow));
    LOAD(ip);
    JEQ((uint32_t)after, 0, 2);
    LOAD(ip + 4);
    JEQ((uint32_t)(after >> 32), TO(allow), 0);
    LOAD(offsetof(struct seccomp_data, nr));
    for (size_t i = 2; i < WATCHED_COUNT; ++i) JEQ((uint32_t)kWatched[i].nr, TO(trap), 0);
    for (int flagsArg = 1; flagsArg <= 2; ++flagsArg) { /* open, then openat */
        JEQ((uint32_t)kWatched[flagsArg - 1].nr, 0, flagsArg == 1 ? 2 : TO(allow));
        LOAD(offsetof(struct seccomp_data, args[flagsArg]));
        EMIT(BPF_JMP | BPF_JSET | BPF_K, kOpenWrites, TO(trap), TO(allow));
    }
    EMIT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW, 0, 0);
    EMIT(BPF_RET | BPF_K, SECCOMP_RET_TRAP, 0, 0);
    struct sock_fprog fprog = {(unsigned short)n, prog};
    if (n != trap + 1 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
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
    struct sigaction action = {.sa_sigaction = OnSigsys, .sa_flags = SA_SIGINFO};
    if ((trace != NULL && g_traceFd < 0) || sigaction(SIGSYS, &action, NULL) != 0 ||
        InstallFilter() != 0) {
        /* A test that believes it injects crashes must not pass silently. */
        static const char message[] = "crash_shim: cannot install the system call filter\n";
        (void)!write(STDERR_FILENO, message, sizeof message - 1);
        _exit(125);
    }
}

#endif
