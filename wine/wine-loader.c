/* Wine's 32-bit loader, rebuilt as a program that is not position-independent.
 *
 * Debian 13 ships /usr/lib/wine/wine as a PIE and no preloader. Where i386 programs run through
 * qemu-user, qemu puts a PIE main program at 0x00400000 and its heap right after it, and that is
 * the one address an exe without relocation records (the NSIS stub, say) can be loaded at: Wine
 * then fails with c0000018. Linked at 0x7d000000, as Debian 12's loader is, this one leaves low
 * memory to Windows. It does what Wine's own does: load the 32-bit ntdll.so and hand it the
 * command line. ntdll finds Wine's other programs in the folder that holds this one.
 *
 * No C runtime start files and no headers: only the compiler and binutils are needed, and the
 * i386 libc that wine32:i386 brings. make-tree.sh builds it, when the set-up calls it.
 */
#define RTLD_NOW 2

void *dlopen(const char *file, int mode);
void *dlsym(void *handle, const char *name);
char *dlerror(void);
long write(int fd, const void *buffer, unsigned long count);
void exit(int status);
int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv, void (*init)(void),
                      void (*fini)(void), void (*rtld_fini)(void), void *stack_end);

#define NTDLL "/usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so"

/* ntdll looks for a preloader's reservations here; there is no preloader. */
const void *wine_main_preload_info = 0;
/* Start files define this; without it i386 glibc falls back to its old stdio. */
const int _IO_stdin_used = 0x20001;

static void fail(const char *message)
{
    const char *end = message;
    while (*end)
        ++end;
    write(2, message, (unsigned long)(end - message));
    write(2, "\n", 1);
    exit(1);
}

int main(int argc, char **argv, char **envp)
{
    void *ntdll = dlopen(NTDLL, RTLD_NOW);
    if (!ntdll)
        fail(dlerror());
    void (*wine_main)(int, char **, char **) = (void (*)(int, char **, char **))dlsym(ntdll, "__wine_main");
    if (!wine_main)
        fail("wine: __wine_main function not found in ntdll.so");
    wine_main(argc, argv, envp);
    fail("wine: __wine_main returned");
    return 1;
}

/* The i386 process entry, as glibc's start files have it: argc, then argv, on the stack. */
__asm__(".text\n"
        ".globl _start\n"
        "_start:\n"
        "    xorl %ebp, %ebp\n"
        "    popl %esi\n"
        "    movl %esp, %ecx\n"
        "    andl $-16, %esp\n"
        "    pushl %eax\n"
        "    pushl %esp\n"
        "    pushl %edx\n"
        "    pushl $0\n"
        "    pushl $0\n"
        "    pushl %ecx\n"
        "    pushl %esi\n"
        "    pushl $main\n"
        "    call __libc_start_main\n"
        "    hlt\n");
