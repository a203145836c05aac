// A small tmpfs that no mount namespace shows. A mount made under a shared
// mount would be copied into the machine's namespace, unless the test first
// made its mounts private, which it cannot where "/" is not itself a mount
// point (a chroot, some containers). A file system made with fsopen and
// fsmount is attached nowhere, so it is copied nowhere, and goes when its
// last descriptor closes.
//
// <linux/mount.h> alone here: with some C libraries it clashes with
// <sys/mount.h>, which the older way needs (apoio.cpp).
#include "apoio.h"

#include <cerrno>
#include <linux/mount.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

int tmpfs_solto(const char *tamanho)
{
    // An ordinary user may mount only in a mount namespace of a user
    // namespace of its own; root may anywhere. A process that may make
    // neither finds out from fsopen.
    if (unshare(CLONE_NEWNS) == -1 && errno == EPERM && entra_em_namespace_de_utilizador() == 0)
        unshare(CLONE_NEWNS);
#if defined(SYS_fsopen) && defined(SYS_fsconfig) && defined(SYS_fsmount)
    const int fs = static_cast<int>(syscall(SYS_fsopen, "tmpfs", FSOPEN_CLOEXEC));
    if (fs == -1 && errno == ENOSYS)
        return tmpfs_montado_e_solto(tamanho);
    if (fs == -1)
        return -1;
    int raiz = -1;
    if (syscall(SYS_fsconfig, fs, FSCONFIG_SET_STRING, "size", tamanho, 0) == 0 &&
        syscall(SYS_fsconfig, fs, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0)
        raiz = static_cast<int>(syscall(SYS_fsmount, fs, 0, 0));
    const int erro = errno;
    close(fs);
    errno = erro;
    return raiz;
#else
    return tmpfs_montado_e_solto(tamanho);
#endif
}
