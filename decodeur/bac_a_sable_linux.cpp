// The helper's limits and sandbox on Linux: resource limits and a processor
// clock that kills, Landlock for the files, seccomp for the rest.

#include "bac_a_sable.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <link.h>
#include <sched.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Rights that kernels newer than Debian 12's headers handle, named here so
// that the helper denies them too where the kernel knows them.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif

namespace bacASable {

namespace {

// A number from /proc/self/status ("VmData:", "Threads:"), or -1.
qint64 etat(const char *champ)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray cle = QByteArray(champ) + ':';
    for (const QByteArray &ligne : status.readAll().split('\n')) {
        if (ligne.startsWith(cle)) {
            bool ok = false;
            const qint64 valeur = ligne.mid(cle.size()).trimmed().split(' ').value(0).toLongLong(&ok);
            return ok ? valeur : -1;
        }
    }
    return -1;
}

// A condition on argument `n` of a system call (seccomp.h's own macros are
// C compound literals).
scmp_arg_cmp argument(unsigned n, scmp_compare operation, scmp_datum_t a, scmp_datum_t b = 0)
{
    return scmp_arg_cmp{n, operation, a, b};
}

bool limite(int ressource, rlim_t valeur)
{
    const rlimit r{valeur, valeur};
    return setrlimit(ressource, &r) == 0;
}

// The folder of every library loaded so far: what they load later comes
// from beside them.
int ajouterDossierDeBibliotheque(dl_phdr_info *info, size_t, void *dossiers)
{
    const QString chemin = QFile::decodeName(info->dlpi_name);
    if (chemin.startsWith(QLatin1Char('/')))
        static_cast<QStringList *>(dossiers)->append(QFileInfo(chemin).path());
    return 0;
}

// Landlock, where the kernel has it: the files the helper may open from now
// on are those under `dossiers`, read only. Files already open (the picture,
// the answer's pipe) stay as they are. False where the kernel has none.
bool restreindreFichiers(QStringList dossiers)
{
    const long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (version < 1)
        return false;
    // Every right the kernel knows is handled, and so denied but where a rule grants it.
    landlock_ruleset_attr regles{(LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1};
    if (version >= 2)
        regles.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;
    if (version >= 3)
        regles.handled_access_fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (version >= 5)
        regles.handled_access_fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    const int ensemble = int(syscall(SYS_landlock_create_ruleset, &regles, sizeof regles, 0));
    if (ensemble < 0)
        return false;

    dl_iterate_phdr(ajouterDossierDeBibliotheque, &dossiers);
    // The system's libraries; this process's own entries in /proc (glibc
    // reads its memory map there), and the count of processors.
    dossiers << QStringLiteral("/usr/lib") << QStringLiteral("/lib") << QStringLiteral("/lib64")
             << QStringLiteral("/usr/lib64") << QStringLiteral("/usr/local/lib")
             << QStringLiteral("/etc/fonts") << QStringLiteral("/usr/share/fontconfig")
             << QStringLiteral("/usr/share/fonts") << QStringLiteral("/usr/local/share/fonts")
             << QStringLiteral("/var/cache/fontconfig") << QStringLiteral("/proc/self")
             << QStringLiteral("/sys/devices/system/cpu");
    for (const QString &dossier : QSet<QString>(dossiers.begin(), dossiers.end())) {
        const int fd = open(QFile::encodeName(dossier).constData(), O_PATH | O_CLOEXEC);
        struct stat etat;
        if (fd < 0)
            continue; // a folder this machine does not have
        if (fstat(fd, &etat) == 0 && S_ISDIR(etat.st_mode)) {
            landlock_path_beneath_attr regle{LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR, fd};
            // A rule that fails only leaves that folder shut.
            syscall(SYS_landlock_add_rule, ensemble, LANDLOCK_RULE_PATH_BENEATH, &regle, 0);
        }
        close(fd);
    }
    const bool ok = syscall(SYS_landlock_restrict_self, ensemble, 0) == 0;
    close(ensemble);
    return ok;
}

// seccomp: the system calls that reach beyond the helper are refused with
// EPERM, so that a decoder sees them fail and gives up; everything else
// (memory, threads, reading what is open) goes on as before.
bool filtrerAppels()
{
    const scmp_filter_ctx filtre = seccomp_init(SCMP_ACT_ALLOW);
    if (!filtre)
        return false;
    const pid_t moi = getpid();
    const uint32_t refus = SCMP_ACT_ERRNO(EPERM);
    int erreurs = 0;
    const auto refuser = [&](int appel) { erreurs += seccomp_rule_add(filtre, refus, appel, 0) != 0; };
    const auto refuserSi = [&](int appel, scmp_arg_cmp condition) {
        erreurs += seccomp_rule_add(filtre, refus, appel, 1, condition) != 0;
    };

    // Networking.
    for (const int appel : {SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind),
                            SCMP_SYS(listen), SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(sendto),
                            SCMP_SYS(sendmsg), SCMP_SYS(sendmmsg), SCMP_SYS(recvfrom), SCMP_SYS(recvmsg),
                            SCMP_SYS(recvmmsg), SCMP_SYS(setsockopt), SCMP_SYS(getsockopt), SCMP_SYS(shutdown),
                            SCMP_SYS(getsockname), SCMP_SYS(getpeername)})
        refuser(appel);
    // Running programs, and making processes (threads are welcome). glibc
    // falls back from clone3, whose flags seccomp cannot read, to clone.
    for (const int appel : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork)})
        refuser(appel);
    refuserSi(SCMP_SYS(clone), argument(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
    erreurs += seccomp_rule_add(filtre, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0;
    // Other processes: tracing them, their memory, their signals.
    for (const int appel : {SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
                            SCMP_SYS(kcmp), SCMP_SYS(pidfd_open), SCMP_SYS(pidfd_getfd),
                            SCMP_SYS(pidfd_send_signal), SCMP_SYS(tkill)})
        refuser(appel);
    for (const int appel : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)})
        refuserSi(appel, argument(0, SCMP_CMP_NE, scmp_datum_t(moi)));
    // Files: opening to write or create, and every call that creates,
    // writes, renames or removes one or changes its mode or owner.
    for (const int drapeau : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC}) {
        refuserSi(SCMP_SYS(open), argument(1, SCMP_CMP_MASKED_EQ, scmp_datum_t(drapeau), scmp_datum_t(drapeau)));
        refuserSi(SCMP_SYS(openat), argument(2, SCMP_CMP_MASKED_EQ, scmp_datum_t(drapeau), scmp_datum_t(drapeau)));
    }
    erreurs += seccomp_rule_add(filtre, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0) != 0;
    for (const int appel :
         {SCMP_SYS(creat), SCMP_SYS(open_by_handle_at), SCMP_SYS(name_to_handle_at), SCMP_SYS(rename),
          SCMP_SYS(renameat), SCMP_SYS(renameat2), SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(rmdir),
          SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(link),
          SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(chmod), SCMP_SYS(fchmod),
          SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown), SCMP_SYS(fchownat), SCMP_SYS(lchown),
          SCMP_SYS(truncate), SCMP_SYS(ftruncate), SCMP_SYS(fallocate), SCMP_SYS(utime), SCMP_SYS(utimes),
          SCMP_SYS(utimensat), SCMP_SYS(futimesat), SCMP_SYS(setxattr), SCMP_SYS(lsetxattr),
          SCMP_SYS(fsetxattr), SCMP_SYS(removexattr), SCMP_SYS(lremovexattr), SCMP_SYS(fremovexattr),
          SCMP_SYS(memfd_create), SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot),
          SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register)})
        refuser(appel);
    // Its own limits and its clock stay as set; no characters typed into a
    // terminal; no new namespaces or mounts; nothing of the kernel's own that
    // an unprivileged process may still reach: the user's keyrings, the
    // kernel's log, performance counters, programs loaded into the kernel,
    // page faults handled by hand.
    refuser(SCMP_SYS(setrlimit));
    refuserSi(SCMP_SYS(prlimit64), argument(2, SCMP_CMP_NE, 0));
    for (const int appel :
         {SCMP_SYS(timer_settime), SCMP_SYS(timer_delete), SCMP_SYS(unshare), SCMP_SYS(setns), SCMP_SYS(fsopen),
          SCMP_SYS(fsconfig), SCMP_SYS(fsmount), SCMP_SYS(move_mount), SCMP_SYS(open_tree), SCMP_SYS(fspick),
          SCMP_SYS(mount_setattr), SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(syslog),
          SCMP_SYS(perf_event_open), SCMP_SYS(bpf), SCMP_SYS(userfaultfd), SCMP_SYS(process_madvise)})
        refuser(appel);
    refuserSi(SCMP_SYS(ioctl), argument(1, SCMP_CMP_EQ, TIOCSTI));

    const bool ok = erreurs == 0 && seccomp_load(filtre) == 0;
    seccomp_release(filtre);
    return ok;
}

} // namespace

void isoler()
{
    // Whatever the viewer left open without meaning to pass it on.
    if (close_range(3, ~0u, 0) != 0) {
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
    }
    // A session of its own, so no terminal is its own and no signal for the
    // viewer's group reaches it; killed with the viewer; no core file, no
    // tracing by others.
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_DUMPABLE, 0);
    limite(RLIMIT_CORE, 0);
    if (chdir("/") != 0)
        _exit(EXIT_FAILURE);
}

bool recevoir(protocole::Demande &demande, QFile &fichier, QByteArray &ecran)
{
    // The request comes in one message on the socket that is the standard
    // input, the open file beside it, then the screen's profile in messages
    // of their own; the file then becomes the standard input.
    protocole::Message message(demande);
    ssize_t lus;
    do
        lus = recvmsg(STDIN_FILENO, &message.entete, MSG_CMSG_CLOEXEC);
    while (lus < 0 && errno == EINTR);
    const cmsghdr *entete = lus == ssize_t(sizeof demande) ? CMSG_FIRSTHDR(&message.entete) : nullptr;
    if (!entete || (message.entete.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || entete->cmsg_level != SOL_SOCKET
        || entete->cmsg_type != SCM_RIGHTS || entete->cmsg_len != CMSG_LEN(sizeof(int)))
        return false;
    int fd;
    memcpy(&fd, CMSG_DATA(entete), sizeof fd);
    bool ok = demande.octetsDuProfil <= quint32(protocole::octetsDuProfilMax);
    if (ok)
        ecran.resize(int(demande.octetsDuProfil));
    for (int recus = 0; ok && recus < ecran.size();) {
        // A message at a time, each one piece.
        const ssize_t morceau = read(STDIN_FILENO, ecran.data() + recus, size_t(ecran.size() - recus));
        ok = morceau > 0 || (morceau < 0 && errno == EINTR);
        recus += int(qMax(ssize_t(0), morceau));
    }
    struct stat etat;
    ok = ok && fstat(fd, &etat) == 0 && S_ISREG(etat.st_mode) && dup2(fd, STDIN_FILENO) == STDIN_FILENO;
    close(fd);
    return ok && fichier.open(STDIN_FILENO, QIODevice::ReadOnly);
}

bool limiter(qint64 octets)
{
    // Memory: what is mapped now (Qt and the readers, or the terabytes a
    // sanitizer reserves), plus the decoding bound and the working room.
    const qint64 donnees = etat("VmData") * 1024;
    const qint64 processeurs = qMax(1L, sysconf(_SC_NPROCESSORS_ONLN));
    const qint64 memoire = donnees + protocole::octetsPourDecoder(processeurs);
    if (donnees <= 0 || !limite(RLIMIT_DATA, rlim_t(memoire)) || !limite(RLIMIT_FSIZE, 0))
        return false;

    // Time: a clock of the process's processor time, all threads together,
    // that kills when the allowance is spent, to the millisecond; the
    // system's own limit in whole seconds behind it.
    const qint64 ms = protocole::tempsDeCalculMs(octets);
    sigevent quand{};
    quand.sigev_notify = SIGEV_SIGNAL;
    quand.sigev_signo = SIGKILL;
    timer_t minuteur;
    const itimerspec apres{{0, 0}, {time_t(ms / 1000), long(ms % 1000) * 1000000}};
    rusage consomme{};
    if (timer_create(CLOCK_PROCESS_CPUTIME_ID, &quand, &minuteur) != 0
        || timer_settime(minuteur, 0, &apres, nullptr) != 0 || getrusage(RUSAGE_SELF, &consomme) != 0)
        return false;
    const rlim_t secondes = rlim_t(consomme.ru_utime.tv_sec + consomme.ru_stime.tv_sec + ms / 1000 + 2);
    const rlimit temps{secondes, secondes + 1};
    return setrlimit(RLIMIT_CPU, &temps) == 0;
}

bool enfermer(const QStringList &dossiersLisibles)
{
    // Landlock binds only the thread that asks: there must be no other.
    if (etat("Threads") != 1 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // Run as root, it drops every privilege root has.
    __user_cap_header_struct entete{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct aucune[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &entete, aucune) != 0)
        return false;
    // Without Landlock (kernels before 5.13, or one that turns it off),
    // seccomp still holds.
    restreindreFichiers(dossiersLisibles);
    return filtrerAppels();
}

bool ecrire(const char *octets, qint64 taille)
{
    while (taille > 0) {
        const ssize_t ecrits = write(STDOUT_FILENO, octets, size_t(qMin(taille, qint64(1) << 20)));
        if (ecrits < 0 && errno == EINTR)
            continue;
        if (ecrits <= 0)
            return false;
        octets += ecrits;
        taille -= ecrits;
    }
    return true;
}

} // namespace bacASable
