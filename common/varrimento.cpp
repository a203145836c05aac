#include "common/varrimento.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <csetjmp>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Older C libraries do not name it; older kernels refuse it with EINVAL.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

medicamento m;

// The scan reads the file through read-only mappings, one 2 MiB window of
// the file at a time, at offsets that are multiples of 2 MiB, and so of the
// page size. A window holds the records that start in it, the last of which
// may end up to 27 bytes into the next window: its mapping runs on to the
// end of that record. Every window is mapped at the same address, a multiple
// of 2 MiB, so that where the page cache holds the window's bytes in one
// 2 MiB folio (as after povoa wrote them in 2 MiB pieces) one page-table
// entry maps them all; and each window is marked for huge pages before it
// is populated, so that what the scan reads from the disk comes into the
// page cache in 2 MiB folios, where the file system allows them. Measured
// on this machine (ext4, Linux 6.18, a 560 MB file in the page cache): a
// search takes 22 ms on a file held in 2 MiB folios against 45 ms on one
// held in small pages; read from the disk with 128 KiB of read-ahead, a cold
// search took 150 ms against a cold cat's 230, and left the file in 2 MiB
// folios. About 3 MiB stay resident.
static_assert(bytes_por_janela % 4096 == 0);

// Which windows are mapped, which read, and what a fault means:
// - A window that holds a hole of the file (a sparse file) is read with
//   pread into `lidos`, never mapped: on some file systems (tmpfs) touching
//   a mapped hole gives the file a real page, so a search would take the
//   file system's space, and fail when there is none; pread reads a hole as
//   zeros and takes nothing. A window that is a hole throughout holds only
//   records of empty name, which a name that is not empty never matches:
//   it is passed over unread.
// - Touching a mapped page raises SIGBUS when the page lies past the end of
//   a file cut short while the window was mapped, and also when it cannot
//   be read (a disk's read error, a file system out of memory). While the
//   scan reads a window, the handler below catches a SIGBUS that the kernel
//   raised and jumps back to percorre, which reads the rest of that window
//   again with pread. That tells the two apart: pread gives the bytes, or
//   fewer (the file now ends there, and so does the scan, as a read of the
//   cut file would have said), or the error itself, which ends the scan with
//   erro_leitura; an unreadable page is never taken for the end of the file.
//   A window is mapped again only after one read with pread, so the scan
//   ends however often the file changes.
// - A SIGBUS at any other time, the program's test of a record included, or
//   one sent by a process, gets the default action, as it would without the
//   handler.
//
// What must survive the jump lives here, outside the frames it leaves.
static sigjmp_buf volta;
static const char *volatile janela;  // the window, while the scan reads it; else null
static volatile int64_t a_visitar;   // records to visit: those before it
static volatile int64_t seguinte;    // the next record whose name is not yet compared
static volatile bool ler_a_janela;   // read the window of `seguinte` with pread

// What the scan looks for, set before the first jump and only read after it.
struct pedido {
    int fd;
    std::string_view nome;
    uint64_t prefixo, mascara;  // see percorre
    teste_do_registo aceita;
    void *contexto;
    char *lugar;  // where every window is mapped: 2 MiB of address space aligned to 2 MiB, and 2 MiB after
    int64_t buraco;  // see tem_buraco
};
static pedido procurado;

// Records read with pread: 128 KiB at a time, of whole records.
static medicamento lidos[4681];

static void falha_na_janela(int, siginfo_t *info, void *)
{
    // si_code > 0: raised by the kernel for an access, not sent by a process.
    if (janela != nullptr && info->si_code > 0)
        siglongjmp(volta, 1);
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);  // delivered, with the default action, once this handler returns
}

// The first record of r[i .. fim) whose first 8 bytes, under `mascara`, are
// `prefixo`; fim when there is none. Four records are tested per branch.
static size_t candidato(const medicamento *r, size_t i, size_t fim, uint64_t prefixo, uint64_t mascara)
{
    // 1 when record k cannot match, 0 when it may: a number, not a bool, so
    // that four are combined with & and one branch.
    const auto difere = [&](size_t k) -> unsigned {
        uint64_t inicio;
        std::memcpy(&inicio, r[k].nome, sizeof inicio);
        return ((inicio ^ prefixo) & mascara) != 0;
    };
    for (; i + 4 <= fim; i += 4)
        if ((difere(i) & difere(i + 1) & difere(i + 2) & difere(i + 3)) == 0) [[unlikely]]
            break;
    for (; i < fim; ++i)
        if (!difere(i))
            return i;
    return fim;
}

std::string_view nome_de(const medicamento &r)
{
    return {r.nome, strnlen(r.nome, sizeof r.nome)};
}

// Compares records `seguinte` .. `primeiro + n` of r (record `primeiro` at
// r[0]) with the request. The index of the one accepted, with m set;
// nenhum_aceite when none was (a_visitar lowered if the file ended among
// them); erro_leitura. `mapa`: the mapping r lies in, or null.
static int64_t examina(const medicamento *r, int64_t primeiro, size_t n, const char *mapa)
{
    const pedido &q = procurado;
    for (size_t i = candidato(r, static_cast<size_t>(seguinte - primeiro), n, q.prefixo, q.mascara); i < n;
         i = candidato(r, i + 1, n, q.prefixo, q.mascara)) {
        medicamento registo;
        std::memcpy(&registo, &r[i], sizeof registo);
        // Past this record before the test runs, so that a fault after it
        // never runs the test on it again.
        seguinte = primeiro + static_cast<int64_t>(i) + 1;
        if (nome_de(registo) != q.nome)
            continue;
        // The last page of a mapping reads as zeros past the end of the
        // file, so a file cut short within that page shows no fault, only
        // records that are no longer there, or a torn one. A record whose
        // name matched is tested only while the file holds it whole.
        struct stat st;
        if (fstat(q.fd, &st) == -1)
            return erro_leitura;
        if (st.st_size < seguinte * tamanho_registo) {
            a_visitar = st.st_size / tamanho_registo;
            return nenhum_aceite;
        }
        // A fault in the program's test is not the window's.
        janela = nullptr;
        const bool aceite = q.aceita(ordem_do_ficheiro(registo.estado), q.contexto);
        janela = mapa;
        if (aceite) {
            m = registo;
            return primeiro + static_cast<int64_t>(i);
        }
    }
    return nenhum_aceite;
}

// Records `seguinte` .. `fim` read with pread, a piece at a time.
static int64_t le(int64_t fim)
{
    for (;;) {
        const int64_t primeiro = seguinte, ate = std::min<int64_t>(fim, int64_t{a_visitar});
        if (primeiro >= ate)
            return nenhum_aceite;
        const size_t pedidos =
            static_cast<size_t>(std::min<int64_t>(ate - primeiro, static_cast<int64_t>(std::size(lidos))));
        char *destino = reinterpret_cast<char *>(lidos);
        size_t bytes = 0;
        while (bytes < pedidos * sizeof lidos[0]) {
            const ssize_t r = pread(procurado.fd, destino + bytes, pedidos * sizeof lidos[0] - bytes,
                                    primeiro * tamanho_registo + static_cast<int64_t>(bytes));
            if (r == -1 && errno == EINTR)
                continue;
            if (r == -1)
                return erro_leitura;
            if (r == 0)
                break;
            bytes += static_cast<size_t>(r);
        }
        const size_t n = bytes / sizeof lidos[0];
        if (n < pedidos)  // the file ends here now
            a_visitar = primeiro + static_cast<int64_t>(n);
        const int64_t aceite = examina(lidos, primeiro, n, nullptr);
        if (aceite != nenhum_aceite)
            return aceite;
        seguinte = primeiro + static_cast<int64_t>(n);
    }
}

// Whether the bytes [de, ate) of the file hold a hole; false where the
// file system cannot say. `de` never decreases during a scan, so the first
// hole at or past the last `de` asked about is still the first one past a
// later `de` short of it, and is asked for again only once `de` reaches it:
// some file systems (tmpfs) find a hole by walking the file's pages up to
// it, and the hole at the end of a file without holes would be walked to
// from every window.
static bool tem_buraco(int64_t de, int64_t ate)
{
    if (de >= procurado.buraco) {
        const off_t buraco = lseek(procurado.fd, de, SEEK_HOLE);
        procurado.buraco = buraco == -1 ? INT64_MAX : buraco;
    }
    return procurado.buraco < ate;
}

// Maps `bytes` of the file from `inicio` at procurado.lugar, over the
// window before, marked for huge pages and populated. Where the kernel
// cannot populate a mapping after the fact (before Linux 5.14) it is
// populated as it is made. A page that cannot be read is left for the scan
// to touch, which tells why. False when the mapping could not be made.
static bool mapeia(size_t bytes, int64_t inicio)
{
    static bool povoa_ao_mapear;
    const int modo = MAP_SHARED | MAP_FIXED | (povoa_ao_mapear ? MAP_POPULATE : 0);
    if (mmap(procurado.lugar, bytes, PROT_READ, modo, procurado.fd, inicio) == MAP_FAILED)
        return false;
    if (povoa_ao_mapear)
        return true;
    madvise(procurado.lugar, bytes, MADV_HUGEPAGE);  // a hint: refused where there are no huge pages
    if (madvise(procurado.lugar, bytes, MADV_POPULATE_READ) == -1 && errno == EINVAL) {
        povoa_ao_mapear = true;
        return mmap(procurado.lugar, bytes, PROT_READ, modo | MAP_POPULATE, procurado.fd, inicio) != MAP_FAILED;
    }
    return true;
}

// The scan from record `seguinte` on, a window at a time; may leave by the
// jump of a fault in the window. Never inlined into percorre, so that its
// locals, which the jump abandons, live in a frame of their own.
__attribute__((noinline)) static int64_t varre()
{
    const int fd = procurado.fd;
    while (seguinte < a_visitar) {
        const int64_t inicio = seguinte * tamanho_registo / bytes_por_janela * bytes_por_janela;
        const int64_t primeiro = (inicio + tamanho_registo - 1) / tamanho_registo;
        const int64_t fim = std::min<int64_t>(int64_t{a_visitar},
                                              (inicio + bytes_por_janela + tamanho_registo - 1) / tamanho_registo);
        if (!procurado.nome.empty()) {
            // Records wholly in a hole have empty names: on to the record
            // where the file's data start again.
            const off_t dados = lseek(fd, seguinte * tamanho_registo, SEEK_DATA);
            if (dados == -1 && errno == ENXIO)
                return nenhum_aceite;
            if (dados != -1 && dados / tamanho_registo >= fim) {
                seguinte = std::min<int64_t>(int64_t{a_visitar}, dados / tamanho_registo);
                continue;
            }
        }
        int64_t aceite;
        if (ler_a_janela || tem_buraco(seguinte * tamanho_registo, fim * tamanho_registo)) {
            ler_a_janela = false;
            aceite = le(fim);
        } else {
            const size_t bytes = static_cast<size_t>(fim * tamanho_registo - inicio);
            if (!mapeia(bytes, inicio))
                return erro_leitura;
            janela = procurado.lugar;
            // Every record starts at a multiple of 4 from the window's
            // start, so it is aligned as a medicamento.
            const medicamento *r = reinterpret_cast<const medicamento *>(janela + (primeiro * tamanho_registo - inicio));
            aceite = examina(r, primeiro, static_cast<size_t>(fim - primeiro), janela);
            janela = nullptr;
        }
        if (aceite != nenhum_aceite)
            return aceite;
        seguinte = std::max<int64_t>(int64_t{seguinte}, fim);
    }
    return nenhum_aceite;
}

int64_t percorre(int fd, std::string_view nome, teste_do_registo aceita, void *contexto)
{
    if (nome.size() > sizeof m.nome)
        return nenhum_aceite;

    struct stat st;
    if (fstat(fd, &st) == -1)
        return erro_leitura;

    // A record can only match when its first min(size + 1, 8) bytes are the
    // name's bytes followed by the terminator; comparing those under a mask
    // turns away nearly every record with one 64-bit compare. Prefix and
    // mask are both laid out as bytes, so the test holds on either byte order.
    char chave[sizeof m.nome] = {};
    std::memcpy(chave, nome.data(), nome.size());
    unsigned char bytes_mascara[sizeof(uint64_t)] = {};
    std::memset(bytes_mascara, 0xff, std::min(nome.size() + 1, sizeof bytes_mascara));
    procurado = {fd, nome, 0, 0, aceita, contexto, nullptr, 0};
    std::memcpy(&procurado.prefixo, chave, sizeof procurado.prefixo);
    std::memcpy(&procurado.mascara, bytes_mascara, sizeof procurado.mascara);

    a_visitar = st.st_size / tamanho_registo;
    seguinte = 0;
    ler_a_janela = false;
    struct sigaction captura {}, antes;
    captura.sa_sigaction = falha_na_janela;
    captura.sa_flags = SA_SIGINFO;
    sigemptyset(&captura.sa_mask);

    // The windows' place: 2 MiB aligned to 2 MiB, with room after it for
    // the record that ends in the next window, found in 6 MiB reserved.
    void *reserva = mmap(nullptr, 3 * bytes_por_janela, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserva == MAP_FAILED)
        return erro_leitura;
    const auto alinhado = (reinterpret_cast<uintptr_t>(reserva) + bytes_por_janela - 1) & ~uintptr_t{bytes_por_janela - 1};
    procurado.lugar = reinterpret_cast<char *>(alinhado);
    if (sigaction(SIGBUS, &captura, &antes) == -1) {
        const int erro = errno;
        munmap(reserva, 3 * bytes_por_janela);
        errno = erro;
        return erro_leitura;
    }

    while (sigsetjmp(volta, 1) != 0) {
        // Back from a fault: the rest of the window is read with pread.
        janela = nullptr;
        ler_a_janela = true;
    }
    const int64_t resultado = varre();
    const int erro = errno;
    sigaction(SIGBUS, &antes, nullptr);
    munmap(reserva, 3 * bytes_por_janela);
    errno = erro;
    return resultado;
}

std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento)
{
    const size_t n = strnlen(argumento, tamanho);
    std::memcpy(buffer, argumento, n);
    if (n < tamanho)
        buffer[n] = '\0';
    return {buffer, n};
}
