#include "common/ficheiro.h"

#include "common/medicamento.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

int abre_ficheiro(int modo, const char *rotulo)
{
    int fd = open(nome_ficheiro, modo | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd != -1)
        fd = fora_das_normais(fd);
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
