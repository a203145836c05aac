#include "common/ficheiro.h"

#include "common/medicamento.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int fora_das_normais(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int outro = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int erro = errno;
    close(fd);
    errno = erro;
    return outro;
}

// Opens BD.bin for `modo` in two steps, so that no open can block on what
// the name leads to, and so that a wait for a lease is the kernel's own:
// - The name is opened with O_PATH, which opens nothing behind it: a FIFO or
//   a device is not opened (nor blocks), a socket is not connected, and no
//   lease holder is asked for anything. That descriptor says what the name
//   leads to, and only a regular file goes on.
// - That same file, and no other that the name may lead to by then, is then
//   opened through /proc/self/fd, blocking: where another process holds a
//   lease on it (a file server's oplock or delegation, any F_SETLEASE), the
//   open waits in the kernel until the lease is broken, at most
//   /proc/sys/fs/lease-break-time seconds, and holds its place while it
//   waits, so that a holder that takes a new lease at once keeps it waiting
//   no longer. Any error of that open is the file's, reported at once.
// Where there is no /proc (a bare chroot), the name is opened again with
// O_NONBLOCK and must be the same file: a lease is then an error too.
static int abre_pelo_caminho(int caminho, int modo)
{
    char ligacao[32];
    std::snprintf(ligacao, sizeof ligacao, "/proc/self/fd/%d", caminho);
    const int acesso = modo & ~(O_CREAT | O_EXCL);
    for (;;) {
        const int fd = open(ligacao, acesso | O_CLOEXEC);
        if (fd != -1 || errno != EINTR) {
            if (fd != -1 || errno != ENOENT)
                return fd;
            break;
        }
    }
    const int fd = open(nome_ficheiro, acesso | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        return -1;
    struct stat de, deste;
    if (fstat(caminho, &de) == -1 || fstat(fd, &deste) == -1 || de.st_dev != deste.st_dev || de.st_ino != deste.st_ino) {
        close(fd);
        errno = ENOENT;  // the name led elsewhere meanwhile
        return -1;
    }
    return fd;
}

// The open of abre_ficheiro, before the checks of what it opened. -1 with
// errno set, or with `nao_regular` set where the name leads to something
// other than a regular file.
static int abre(int modo, bool &nao_regular)
{
    const int caminho = open(nome_ficheiro, O_PATH | O_CLOEXEC);
    if (caminho == -1) {
        if (errno != ENOENT || (modo & O_CREAT) == 0)
            return -1;
        // Nothing there: created, as povoa's open always created it. A new
        // file has no lease, and a name that something else took meanwhile
        // is checked below like any other.
        return open(nome_ficheiro, modo | O_NONBLOCK | O_CLOEXEC, 0666);
    }
    struct stat st;
    if (fstat(caminho, &st) == -1) {
        const int erro = errno;
        close(caminho);
        errno = erro;
        return -1;
    }
    int fd = -1;
    if (S_ISREG(st.st_mode))
        fd = abre_pelo_caminho(caminho, modo);
    else if (S_ISDIR(st.st_mode) && (modo & O_ACCMODE) != O_RDONLY)
        errno = EISDIR;  // what opening a directory for writing says
    else
        nao_regular = true;
    const int erro = errno;
    close(caminho);
    errno = erro;
    return fd;
}

int abre_ficheiro(int modo, const char *rotulo)
{
    bool nao_regular = false;
    int fd = abre(modo, nao_regular);
    if (fd != -1)
        fd = fora_das_normais(fd);
    if (nao_regular) {
        reporta_texto(nome_ficheiro, "not a regular file");
        return -1;
    }
    if (fd == -1) {
        reporta(rotulo, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == -1) {
        const int erro = errno;
        close(fd);
        reporta(nome_ficheiro, erro);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        reporta_texto(nome_ficheiro, "not a regular file");
        return -1;
    }
    // A file opened with O_NONBLOCK is then used as any reader or writer uses it.
    if (const int estado = fcntl(fd, F_GETFL); estado == -1 || fcntl(fd, F_SETFL, estado & ~O_NONBLOCK) == -1) {
        const int erro = errno;
        close(fd);
        reporta(nome_ficheiro, erro);
        return -1;
    }
    return fd;
}

bool escreve_tudo(int fd, const char *bytes, size_t n, int64_t onde, int64_t &escritos)
{
    for (size_t feitos = 0; feitos < n;) {
        const ssize_t r = onde == -1 ? write(fd, bytes + feitos, n - feitos)
                                     : pwrite(fd, bytes + feitos, n - feitos, onde + static_cast<int64_t>(feitos));
        if (r == -1 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            return false;
        }
        feitos += static_cast<size_t>(r);
        escritos += r;
    }
    return true;
}

// One line, written with one write, so that it is not interleaved with
// another process's lines on a shared standard error.
static void escreve_relato(const char *objeto, const char *formato, va_list argumentos)
{
    char linha[1024];  // a longer line is cut, still ending in its newline
    std::snprintf(linha, sizeof linha - 1, "%s: ", objeto);
    size_t n = std::strlen(linha);
    std::vsnprintf(linha + n, sizeof linha - 1 - n, formato, argumentos);
    n = std::strlen(linha);
    linha[n] = '\n';
    std::fwrite(linha, 1, n + 1, stderr);
}

void reporta_texto(const char *objeto, const char *formato, ...)
{
    va_list argumentos;
    va_start(argumentos, formato);
    escreve_relato(objeto, formato, argumentos);
    va_end(argumentos);
}

void reporta(const char *objeto, int erro, const char *depois)
{
    reporta_texto(objeto, "%s%s", std::strerror(erro), depois);
}

bool fecha_saida()
{
    if (std::ferror(stdout) || std::fclose(stdout) != 0) {
        reporta("stdout", errno);
        return false;
    }
    return true;
}

std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento)
{
    const size_t n = strnlen(argumento, tamanho);
    std::memcpy(buffer, argumento, n);
    if (n < tamanho)
        buffer[n] = '\0';
    return {buffer, n};
}
