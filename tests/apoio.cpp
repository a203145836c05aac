#include "apoio.h"

#include "common/ipc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

std::string registo(std::string_view nome, int32_t stock, int32_t vendas, int32_t estado)
{
    medicamento r{};
    std::memcpy(r.nome, nome.data(), std::min(nome.size(), sizeof r.nome));
    r.stock = ordem_do_ficheiro(stock);
    r.vendas = ordem_do_ficheiro(vendas);
    r.estado = ordem_do_ficheiro(estado);
    return {reinterpret_cast<const char *>(&r), sizeof r};
}

void PrintTo(const execucao &e, std::ostream *os)
{
    *os << "{estado " << e.estado << ", saida " << ::testing::PrintToString(e.saida) << ", erros "
        << ::testing::PrintToString(e.erros) << (e.sinal ? ", sinal " + std::to_string(e.sinal) : "") << "}";
}

std::string encontrado(const std::string &nome, int stock, int vendas)
{
    return "\nMedicamento Encontrado\n\nNome " + nome + "\nStock " + std::to_string(stock) + "\nVendas " +
           std::to_string(vendas) + "\n\n";
}

::testing::AssertionResult mesmos_registos(const std::string &a, const std::string &b)
{
    if (a == b)
        return ::testing::AssertionSuccess();
    const auto onde = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    const size_t j = static_cast<size_t>(onde.first - a.begin()) / sizeof(medicamento);
    const auto r = [j](const std::string &s) { return ::testing::PrintToString(s.substr(j * sizeof(medicamento), sizeof(medicamento))); };
    return ::testing::AssertionFailure() << a.size() << " bytes against " << b.size() << "; record " << j
                                         << " differs first: " << r(a) << " against " << r(b);
}

std::string outros(int n)
{
    std::string bytes;
    for (int i = 0; i < n; ++i)
        bytes += registo("outro", i, i, 1);
    return bytes;
}

std::string le_ficheiro(const std::string &caminho)
{
    std::ifstream f(caminho, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void escreve_ficheiro(const std::string &caminho, const std::string &bytes)
{
    std::ofstream f(caminho, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << caminho;
}

chaves_do_teste chaves;

// Whether `chave` is one of this test's.
static bool deste_teste(int chave)
{
    // 0 is IPC_PRIVATE, never a test's key.
    return chave > 0 && (chave == chaves.procura || chave == chaves.alterna ||
                         (chave >= chaves.propria && chave < chaves.propria + chaves_proprias));
}

std::vector<conjunto> conjuntos()
{
    std::vector<conjunto> lista;
    std::ifstream f("/proc/sysvipc/sem");
    std::string linha;
    std::getline(f, linha);  // column names
    while (std::getline(f, linha)) {
        std::istringstream campos(linha);
        conjunto c{};
        std::string permissoes;
        campos >> c.chave >> c.id >> permissoes >> c.semaforos;
        if (!deste_teste(c.chave))
            continue;
        c.permissoes = std::stoi(permissoes, nullptr, 8);
        c.valor = semctl(c.id, 0, GETVAL);
        lista.push_back(c);
    }
    return lista;
}

void semaforo_livre(int chave)
{
    const auto lista = conjuntos();
    const auto c = std::find_if(lista.begin(), lista.end(), [chave](const conjunto &k) { return k.chave == chave; });
    ASSERT_NE(c, lista.end()) << "no set of key " << chave;
    EXPECT_EQ(*c, (conjunto{chave, c->id, 0666, 1, 1}));
}

int conjunto_preso(int chave)
{
    const int id = semget(chave, 1, IPC_CREAT | 0666);
    sembuf toma = {0, -1, 0};
    EXPECT_TRUE(id != -1 && semctl(id, 0, SETVAL, semun{.val = 1}) == 0 && semop(id, &toma, 1) == 0) << std::strerror(errno);
    return id;
}

// Removes the semaphore sets and shared-memory segments of this test's keys.
static void remove_os_do_teste()
{
    for (int k : {chaves.procura, chaves.alterna})
        if (const int id = deste_teste(k) ? semget(k, 0, 0) : -1; id != -1)
            semctl(id, 0, IPC_RMID);
    for (int k = chaves.propria; k < chaves.propria + chaves_proprias; ++k) {
        if (!deste_teste(k))
            continue;
        if (const int id = semget(k, 0, 0); id != -1)
            semctl(id, 0, IPC_RMID);
        if (const int id = shmget(k, 0, 0); id != -1)
            shmctl(id, IPC_RMID, nullptr);
    }
}

void Diretorio::SetUp()
{
    char modelo[] = "/tmp/farmacia-teste-XXXXXX";
    ASSERT_NE(mkdtemp(modelo), nullptr) << std::strerror(errno);
    dir = modelo;
    std::filesystem::create_directory(dir + "/.saida");
}

// Writes `texto` to a file of /proc/self; the error number, or 0.
static int escreve_proc(const char *ficheiro, const std::string &texto)
{
    const int fd = open(ficheiro, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return errno;
    const bool certo = write(fd, texto.data(), texto.size()) == static_cast<ssize_t>(texto.size());
    const int erro = errno;
    close(fd);
    return certo ? 0 : erro;
}

// Makes the calling process the owner of a new user namespace in which its
// own uid and gid, and nothing else, are mapped to themselves. The error
// number, or 0.
int entra_em_namespace_de_utilizador()
{
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER) == -1)
        return errno;
    if (const int erro = escreve_proc("/proc/self/uid_map", uid + " " + uid + " 1\n"))
        return erro;
    // An unprivileged process may map its gid only once it gives up setgroups.
    if (const int erro = escreve_proc("/proc/self/setgroups", "deny"))
        return erro;
    return escreve_proc("/proc/self/gid_map", gid + " " + gid + " 1\n");
}

void Ambiente::SetUp()
{
    // A block of keys that no set or segment has now, named after this
    // process, which no other process alive has: another run of the suite
    // picks another block, and the machine's programs use 2345 and 4567.
    const auto livre = [](int k) {
        return semget(k, 0, 0) == -1 && errno == ENOENT && shmget(k, 0, 0) == -1 && errno == ENOENT;
    };
    constexpr int por_bloco = 2 + chaves_proprias;
    for (unsigned n = 0;; ++n) {
        const int base = 0x46000000 + static_cast<int>((static_cast<unsigned>(getpid()) + n * 7919u) % 0x100000u) * por_bloco;
        bool todas = true;
        for (int k = base; k < base + por_bloco && todas; ++k)
            todas = livre(k);
        if (todas) {
            chaves = {base, base + 1, base + 2};
            break;
        }
    }
    setenv("FARMACIA_CHAVE_PROCURA", std::to_string(chaves.procura).c_str(), 1);
    setenv("FARMACIA_CHAVE_ALTERNA", std::to_string(chaves.alterna).c_str(), 1);
    Diretorio::SetUp();
}

void Ambiente::TearDown()
{
    remove_os_do_teste();
    Diretorio::TearDown();
}

void ChavesReais::SetUp()
{
    if (unshare(CLONE_NEWIPC) == -1) {
        const int erro_ipc = errno;
        int erro_utilizador = entra_em_namespace_de_utilizador();
        if (erro_utilizador == 0 && unshare(CLONE_NEWIPC) == -1)
            erro_utilizador = errno;
        if (erro_utilizador != 0)
            GTEST_SKIP() << "neither a private IPC namespace (" << std::strerror(erro_ipc)
                         << ") nor a user namespace to make one in (" << std::strerror(erro_utilizador)
                         << ") may be created here: the programs' own keys 2345 and 4567 are not tested";
    }
    chaves = {2345, 4567, 0};
    unsetenv("FARMACIA_CHAVE_PROCURA");
    unsetenv("FARMACIA_CHAVE_ALTERNA");
    Diretorio::SetUp();
}

void larga_direitos()
{
    // A process that holds no capability, as an ordinary user outside a
    // user namespace of its own, has none to drop, and may not set the bits.
    __user_cap_header_struct quem{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct tem[_LINUX_CAPABILITY_U32S_3] = {};
    if (getuid() != 0 && syscall(SYS_capget, &quem, tem) == 0 &&
        (tem[0].permitted | tem[1].permitted | tem[0].effective | tem[1].effective) == 0)
        return;
    // With SECBIT_NOROOT an exec by uid 0 no longer grants every capability;
    // then the capset empties the permitted, effective, inheritable and so
    // ambient sets.
    __user_cap_header_struct cabecalho{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct nenhuma[_LINUX_CAPABILITY_U32S_3] = {};
    if (prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) == -1 ||
        syscall(SYS_capset, &cabecalho, nenhuma) == -1)
        _exit(100);
}

void Diretorio::TearDown()
{
    if (!dir.empty())
        std::filesystem::remove_all(dir);
}

execucao Ambiente::corre(const std::string &programa, const std::vector<std::string> &argumentos, const opcoes &o)
{
    return espera(lanca(programa, argumentos, o), o);
}

static std::string saida_de(const std::string &dir, int vez, const char *qual)
{
    return dir + "/.saida/" + qual + std::to_string(vez);
}

pid_t Ambiente::lanca(const std::string &programa, const std::vector<std::string> &argumentos,
                      const opcoes &o, int vez)
{
    const std::string saida = saida_de(dir, vez, "out"), erros = saida_de(dir, vez, "err");
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv{const_cast<char *>(programa.c_str())};
        for (const auto &a : argumentos)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int out = open(o.stdout_para.empty() ? saida.c_str() : o.stdout_para.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open(erros.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int in = open("/dev/null", O_RDONLY);
        if (out == -1 || err == -1 || in == -1 || dup2(out, 1) == -1 || dup2(err, 2) == -1 ||
            dup2(in, 0) == -1 || chdir(dir.c_str()) == -1)
            _exit(127);
        for (const int fd : {out, err, in})
            if (fd > 2)
                close(fd);
        for (const auto &[nome, valor] : o.ambiente)
            setenv(nome.c_str(), valor.c_str(), 1);
        if (o.sem_direitos)
            larga_direitos();
        if (o.antes_de_exec)
            o.antes_de_exec();
        execv(programa.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool termina_em(pid_t pid, int segundos, int &estado)
{
    for (int i = 0; i < segundos * 100; ++i) {
        if (waitpid(pid, &estado, WNOHANG) == pid)
            return true;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &estado, 0);
    return false;
}

execucao Ambiente::espera(pid_t pid, const opcoes &o, int vez)
{
    int estado = 0;
    const bool terminou = termina_em(pid, o.segundos, estado);
    if (!terminou)
        ADD_FAILURE() << "a run did not end within " << o.segundos << " s";
    return {terminou && WIFEXITED(estado) ? WEXITSTATUS(estado) : -1,
            o.stdout_para.empty() ? le_ficheiro(saida_de(dir, vez, "out")) : "",
            le_ficheiro(saida_de(dir, vez, "err")), terminou && WIFSIGNALED(estado) ? WTERMSIG(estado) : 0};
}

execucao em_filho(const std::function<int()> &f)
{
    char saida[] = "/tmp/farmacia-saida-XXXXXX", erros[] = "/tmp/farmacia-erros-XXXXXX";
    const int out = mkstemp(saida), err = mkstemp(erros);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        const int r = f();
        fflush(stdout);
        _exit(r & 0xff);
    }
    int estado = 0;
    waitpid(pid, &estado, 0);
    close(out);
    close(err);
    execucao e{WIFEXITED(estado) ? WEXITSTATUS(estado) : -1, le_ficheiro(saida), le_ficheiro(erros)};
    unlink(saida);
    unlink(erros);
    return e;
}

int tmpfs_montado_e_solto(const char *tamanho)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
        return -1;
    char ponto[] = "/tmp/farmacia-tmpfs-XXXXXX";
    if (mkdtemp(ponto) == nullptr)
        return -1;
    int raiz = -1;
    if (mount("tmpfs", ponto, "tmpfs", 0, (std::string("size=") + tamanho).c_str()) == 0) {
        raiz = open(ponto, O_RDONLY | O_DIRECTORY);
        umount2(ponto, MNT_DETACH);
    }
    const int erro = errno;
    rmdir(ponto);
    errno = erro;
    return raiz;
}

void precarrega(const char *biblioteca)
{
    setenv("LD_PRELOAD", biblioteca, 1);
    // A sanitized build wants its runtime first among the libraries.
    const char *antes = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(antes ? antes : "") + ":verify_asan_link_order=0").c_str(), 1);
}

std::string erros_sem_o_emulador(const std::string &erros)
{
    std::istringstream linhas(erros);
    std::string linha, resto;
    while (std::getline(linhas, linha))
        if (linha.find(ESCRITAS_VISTAS) == std::string::npos)
            resto += linha + "\n";
    return resto;
}

bool parado(pid_t pid)
{
    const std::string caminho = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 1000; ++i) {
        // "pid (comm) S ...": the state follows the last parenthesis.
        const std::string estado = le_ficheiro(caminho);
        const size_t fim = estado.rfind(')');
        if (fim != std::string::npos && fim + 2 < estado.size() && estado[fim + 2] == 'T')
            return true;
        usleep(10000);
    }
    return false;
}

void tubo_fechado(int fd)
{
    int tubo[2];
    if (pipe(tubo) == -1 || close(tubo[0]) == -1 || dup2(tubo[1], fd) == -1)
        _exit(127);
    close(tubo[1]);
}

bool espera_tranca(const std::string &caminho)
{
    struct stat st;
    if (stat(caminho.c_str(), &st) == -1)
        return false;
    // "1: -> FLOCK  ADVISORY  WRITE 123 08:01:4567 0 EOF": a waiter, and the
    // device and inode of the file it waits on.
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    for (int i = 0; i < 1000; ++i) {
        std::istringstream linhas(le_ficheiro("/proc/locks"));
        std::string linha;
        while (std::getline(linhas, linha))
            if (linha.find(" -> ") != std::string::npos && linha.find(inode) != std::string::npos)
                return true;
        usleep(10000);
    }
    return false;
}
