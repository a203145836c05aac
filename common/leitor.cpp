#include "common/leitor.h"

#include "common/candidato.h"
#include "common/escolha.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Older C libraries do not name it; older kernels refuse it with EINVAL.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

// The reader takes the file a piece (bytes_por_peca) at a time: the records
// that start in the piece, the last of which may end up to 27 bytes into the
// next one. A piece is mapped read-only, always at the same address, a
// multiple of the piece's size, so that where the page cache holds the
// piece in one large folio (as after povoa wrote it in whole pieces) one
// page-table entry maps it all; and it is marked for huge pages before it is
// populated, so that what is read from the disk comes into the page cache in
// large folios, where the kernel and the file system make them.
// bench/README.md says where that holds, and what it gives.
//
// Which pieces are mapped, which read with pread, and what a fault means:
// - Where either way may be taken, common/escolha.h chooses, from what each
//   way cost for the pieces taken so far: a piece is timed from before it
//   is brought in to the end of its filtering, when no record of it was
//   handed out meanwhile (the program's test then ran in between), and
//   when it was not read again after a fault. Read with pread, a piece is
//   read into `lidos` 256 KiB at a time, each part filtered before the
//   next is read.
// - A piece is mapped only over what the file really holds. Where any part
//   of it is a hole (a sparse file) it is read with pread instead: on some
//   file systems (tmpfs) touching a mapped hole gives the file a real page,
//   so a search would take the file system's space, and fail when there is
//   none, while pread reads a hole as zeros and takes nothing. The records
//   wholly in a hole have empty names, which a name that is not empty never
//   matches: they are passed over unread.
// - Where the address space for the mapping is refused (a limit on it), or
//   the file system cannot map the file (FUSE with direct_io, some network
//   file systems), the rest of the file is read with pread. A refused
//   mapping is not an error; a failed read is.
// - Touching a mapped page raises SIGBUS when the page lies past the end of
//   a file cut short while the piece was mapped, and also when it cannot be
//   read (a disk's read error, a file system out of memory). While the
//   reader compares the records of a mapped piece, its handler catches a
//   SIGBUS that the kernel raised and jumps back to proximo, which reads the
//   rest of that piece again with pread. That tells the two apart: pread
//   gives the bytes, or fewer (the file now ends there, and so does the
//   reading), or the error itself; an unreadable page is never taken for
//   the end of the file. A piece is mapped again only after one read with
//   pread, so the reading ends however often the file changes.
// - A SIGBUS at any other time, or one sent by a process, gets the default
//   action, as it would without the handler.
// - The signal mask survives exec, and a parent may have blocked SIGBUS: a
//   fault raised while it is blocked kills the program whatever its
//   handler. So SIGBUS is unblocked for the reading, and the mask the
//   program had is given back when the reading ends.

// What must survive the jump lives here, outside the frames it leaves.
static sigjmp_buf volta;
static const char *volatile janela;  // the mapped piece while its records are compared; else null
static volatile int64_t a_visitar;   // the records to visit: those before it
static volatile int64_t seguinte;    // the next record not yet compared
static volatile bool ler_a_peca;     // read the piece of `seguinte` with pread: a fault was met in it

// The records in hand: records [em_mao_de, em_mao_ate) of the file, the
// first at em_mao, in the mapped piece or in `lidos`.
static const medicamento *em_mao;
static int64_t em_mao_de, em_mao_ate;
static bool em_mao_mapeados;

// The reading, set by comeca_leitura.
static int ficheiro;
static std::string_view procurado;
static filtro_do_nome filtro;
static void *reserva;     // 3 pieces of address space; null where refused
static char *lugar;       // where every piece is mapped: aligned to a piece, with a piece after it
static bool mapeavel;     // false once a mapping was refused: pread only
static int64_t buraco;    // see tem_buraco
static struct sigaction antes;
static sigset_t mascara_antes;

// How the pieces are chosen and what they cost, the piece in hand's number
// (counted from 0 in the reading) and way, and when its timing began; -1
// when it is not being timed.
static modo_de_leitura como_pedido;
static custos medidos;
static uint64_t pecas;
static via via_em_mao;
static int64_t medido_desde = -1;

// Records read with pread: 256 KiB of whole records at a time, a piece in
// eight reads. Larger reads cost no less here, and a buffer that stays in
// the processor's cache makes the copy and the filtering cheaper.
static medicamento lidos[(256 << 10) / tamanho_registo];
// The records of the piece in hand: from its first whole record to the
// record after its last. Read with pread, a piece takes several reads, and
// its timing runs from the first to the end of the last.
static int64_t inicio_da_peca, fim_da_peca;

static int64_t agora_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

static void falha_na_peca(int, siginfo_t *info, void *)
{
    // si_code > 0: raised by the kernel for an access, not sent by a process.
    if (janela != nullptr && info->si_code > 0)
        siglongjmp(volta, 1);
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);  // delivered, with the default action, once this handler returns
}

bool comeca_leitura(int fd, std::string_view nome, modo_de_leitura pedido)
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        return false;
    struct sigaction captura {};
    captura.sa_sigaction = falha_na_peca;
    captura.sa_flags = SA_SIGINFO;
    sigemptyset(&captura.sa_mask);
    sigset_t so_sigbus;
    sigemptyset(&so_sigbus);
    sigaddset(&so_sigbus, SIGBUS);
    if (sigaction(SIGBUS, &captura, &antes) == -1)
        return false;
    if (sigprocmask(SIG_UNBLOCK, &so_sigbus, &mascara_antes) == -1) {
        const int erro = errno;
        sigaction(SIGBUS, &antes, nullptr);
        errno = erro;
        return false;
    }
    ficheiro = fd;
    como_pedido = pedido;
    medidos = {};
    pecas = 0;
    medido_desde = -1;
    procurado = nome;
    filtro = filtro_de(nome);
    a_visitar = nome.size() > sizeof(medicamento::nome) ? 0 : st.st_size / tamanho_registo;
    seguinte = 0;
    ler_a_peca = false;
    janela = nullptr;
    em_mao = nullptr;
    em_mao_de = em_mao_ate = 0;
    inicio_da_peca = fim_da_peca = 0;
    buraco = 0;
    reserva = mmap(nullptr, 3 * bytes_por_peca, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserva == MAP_FAILED)
        reserva = nullptr;
    mapeavel = reserva != nullptr;
    const auto alinhado = (reinterpret_cast<uintptr_t>(reserva) + bytes_por_peca - 1) & ~uintptr_t{bytes_por_peca - 1};
    lugar = reinterpret_cast<char *>(alinhado);
    return true;
}

void acaba_leitura()
{
    const int erro = errno;
    sigaction(SIGBUS, &antes, nullptr);
    sigprocmask(SIG_SETMASK, &mascara_antes, nullptr);
    if (reserva != nullptr)
        munmap(reserva, 3 * bytes_por_peca);
    errno = erro;
}

// Whether the bytes [de, ate) of the file hold a hole; false where the file
// system cannot say. `de` never decreases during a reading, so the first
// hole at or past the last `de` asked about is still the first one past a
// later `de` short of it, and is asked for again only once `de` reaches it:
// some file systems (tmpfs) find a hole by walking the file's pages up to
// it, and the hole at the end of a file without holes would be walked to
// from every piece.
static bool tem_buraco(int64_t de, int64_t ate)
{
    if (de >= buraco) {
        const off_t onde = lseek(ficheiro, de, SEEK_HOLE);
        buraco = onde == -1 ? INT64_MAX : onde;
    }
    return buraco < ate;
}

// Maps `bytes` of the file from `inicio` at `lugar`, over the piece before,
// marked for huge pages and populated. Where the kernel cannot populate a
// mapping after the fact (before Linux 5.14) it is populated as it is made.
// A page that cannot be read is left for the comparison to touch, which
// tells why. False when the mapping could not be made.
static bool mapeia(size_t bytes, int64_t inicio)
{
    static bool povoa_ao_mapear;
    const int modo = MAP_SHARED | MAP_FIXED | (povoa_ao_mapear ? MAP_POPULATE : 0);
    if (mmap(lugar, bytes, PROT_READ, modo, ficheiro, inicio) == MAP_FAILED)
        return false;
    if (povoa_ao_mapear)
        return true;
    madvise(lugar, bytes, MADV_HUGEPAGE);  // a hint: refused where there are no huge pages
    if (madvise(lugar, bytes, MADV_POPULATE_READ) == -1 && errno == EINVAL) {
        povoa_ao_mapear = true;
        return mmap(lugar, bytes, PROT_READ, modo | MAP_POPULATE, ficheiro, inicio) != MAP_FAILED;
    }
    return true;
}

// Reads with pread, into `lidos`, the records from `seguinte` on, up to
// `fim`, as many as fit. False, with errno set, when a read failed.
static bool le(int64_t fim)
{
    const int64_t primeiro = seguinte;
    const size_t pedidos = static_cast<size_t>(std::min<int64_t>(fim - primeiro, static_cast<int64_t>(std::size(lidos))));
    char *destino = reinterpret_cast<char *>(lidos);
    size_t bytes = 0;
    while (bytes < pedidos * sizeof lidos[0]) {
        const ssize_t r = pread(ficheiro, destino + bytes, pedidos * sizeof lidos[0] - bytes,
                                primeiro * tamanho_registo + static_cast<int64_t>(bytes));
        if (r == -1 && errno == EINTR)
            continue;
        if (r == -1)
            return false;
        if (r == 0)
            break;
        bytes += static_cast<size_t>(r);
    }
    const size_t n = bytes / sizeof lidos[0];
    if (n < pedidos)  // the file ends here now
        a_visitar = primeiro + static_cast<int64_t>(n);
    em_mao = lidos;
    em_mao_de = primeiro;
    em_mao_ate = primeiro + static_cast<int64_t>(n);
    em_mao_mapeados = false;
    return true;
}

// Brings into hand records from `seguinte` on: the piece they start in,
// mapped, or the next of its records read with pread; or moves `seguinte`
// past records wholly in a hole. False, with errno set, when a read failed.
static bool traz_registos()
{
    const int64_t inicio = seguinte * tamanho_registo / bytes_por_peca * bytes_por_peca;
    const int64_t fim = std::min<int64_t>(int64_t{a_visitar}, (inicio + bytes_por_peca + tamanho_registo - 1) / tamanho_registo);
    // The rest of a piece that is being read with pread.
    if (!em_mao_mapeados && em_mao_ate == seguinte && seguinte > inicio_da_peca && seguinte < fim_da_peca &&
        fim == fim_da_peca && !ler_a_peca)
        return le(fim);
    if (!procurado.empty()) {
        const off_t dados = lseek(ficheiro, seguinte * tamanho_registo, SEEK_DATA);
        if (dados == -1 && errno == ENXIO) {  // a hole to the end
            seguinte = int64_t{a_visitar};
            return true;
        }
        if (dados != -1 && dados / tamanho_registo >= fim) {
            seguinte = std::min<int64_t>(int64_t{a_visitar}, dados / tamanho_registo);
            return true;
        }
    }
    // Timed only when brought from its first record, and not again after a fault.
    const int64_t primeiro = (inicio + tamanho_registo - 1) / tamanho_registo;
    inicio_da_peca = primeiro;
    fim_da_peca = fim;
    const bool escolhida = mapeavel && !ler_a_peca && !tem_buraco(inicio, fim * tamanho_registo);
    via_em_mao = escolhida ? escolhe(medidos, pecas, como_pedido) : via::leitura;
    // The buffer's pages are made before the first piece read into it is
    // timed: their first touch would make that piece look dearer than the
    // next ones.
    static bool lidos_tocados;
    if (via_em_mao == via::leitura && !lidos_tocados) {
        std::memset(lidos, 0, sizeof lidos);
        lidos_tocados = true;
    }
    medido_desde = escolhida && seguinte == primeiro ? agora_ns() : -1;
    ++pecas;
    if (via_em_mao == via::mapa) {
        if (mapeia(static_cast<size_t>(fim * tamanho_registo - inicio), inicio)) {
            // Every record starts at a multiple of 4 from the piece's start,
            // so it is aligned as a medicamento.
            em_mao = reinterpret_cast<const medicamento *>(lugar + (primeiro * tamanho_registo - inicio));
            em_mao_de = primeiro;
            em_mao_ate = fim;
            em_mao_mapeados = true;
            return true;
        }
        mapeavel = false;
        medido_desde = -1;
    }
    ler_a_peca = false;
    return le(fim);
}

// The work of proximo, which may leave by the jump of a fault in a mapped
// piece. Never inlined into proximo, so that its locals, which the jump
// abandons, live in a frame of their own.
__attribute__((noinline)) static lido busca(medicamento &registo, int64_t &indice)
{
    while (seguinte < a_visitar) {
        if (seguinte < em_mao_de || seguinte >= em_mao_ate) {
            if (!traz_registos())
                return lido::erro;
            continue;
        }
        const int64_t ate = std::min<int64_t>(em_mao_ate, int64_t{a_visitar});
        const size_t n = static_cast<size_t>(ate - em_mao_de);
        janela = em_mao_mapeados ? lugar : nullptr;
        for (size_t i = candidato(em_mao, static_cast<size_t>(seguinte - em_mao_de), n, filtro); i < n;
             i = candidato(em_mao, i + 1, n, filtro)) {
            medicamento r;
            std::memcpy(&r, &em_mao[i], sizeof r);
            seguinte = em_mao_de + static_cast<int64_t>(i) + 1;
            if (nome_de(r) != procurado)
                continue;
            // The last page of a mapping reads as zeros past the end of the
            // file, so a file cut short within that page shows no fault,
            // only records that are no longer there, or a torn one; and a
            // piece read with pread may have been cut since. A record is
            // handed out only while the file holds it whole, so that
            // alterna never writes one back past the end.
            struct stat st;
            if (fstat(ficheiro, &st) == -1)
                return lido::erro;
            if (st.st_size < seguinte * tamanho_registo) {
                a_visitar = st.st_size / tamanho_registo;
                return lido::fim;
            }
            registo = r;
            indice = seguinte - 1;
            medido_desde = -1;
            return lido::registo;
        }
        janela = nullptr;
        seguinte = std::max<int64_t>(int64_t{seguinte}, ate);
        if (medido_desde != -1 && ate == fim_da_peca) {
            const float ns = static_cast<float>(agora_ns() - medido_desde);
            regista(medidos, via_em_mao, ns / static_cast<float>((ate - inicio_da_peca) * tamanho_registo), pecas - 1);
            medido_desde = -1;
        }
    }
    return lido::fim;
}

lido proximo(medicamento &registo, int64_t &indice)
{
    if (sigsetjmp(volta, 1) != 0) {
        // Back from a fault in the mapped piece: nothing of it is in hand
        // any more, and the rest of it is read with pread.
        janela = nullptr;
        em_mao_ate = em_mao_de;
        ler_a_peca = true;
        medido_desde = -1;
    }
    const lido l = busca(registo, indice);
    janela = nullptr;
    return l;
}
