// A picture reader that misbehaves on purpose, for a made-up format, so the
// tests can show that what a reader does stays inside the decoding helper.
// A file of this format is text: "image-viewer-hostile MODE", then lines
// that MODE reads.
//
// - plain: a 5 x 3 picture, pixel (x, y) = (40 x, 80 y, 200): the reader is used.
// - crash: writes through a null pointer.   - spin: loops forever.
// - sleep: sleeps forever.
// - allocate: takes 16 MiB blocks until refused, then lets them go; the
//   picture is a pixel of (20, 40, 60) for each block it got.
// - escape: tries, one a line, "read PATH", "write PATH", "connect PORT" (on
//   127.0.0.1), "run PROGRAM ARGUMENT", "signal" (its parent, signal 0) and
//   "memory" (its parent's); the picture is a pixel for each, red when the
//   system refused it, green when it got through.

#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QIODevice>
#include <QList>

#include <cstdlib>
#include <thread>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

const QByteArray signature("image-viewer-hostile ");

#ifdef Q_OS_UNIX
// Whether an attempt got through: anything but the sandbox's refusal
// (EPERM from seccomp, EACCES from Landlock) counts as through.
bool passe(bool reussi)
{
    return reussi || (errno != EPERM && errno != EACCES);
}

bool tenter(const QList<QByteArray> &mots)
{
    const QByteArray &quoi = mots.value(0);
    const QByteArray chemin = mots.value(1);
    if (quoi == "read") {
        const int fd = open(chemin.constData(), O_RDONLY);
        char octet;
        const bool lu = fd >= 0 && read(fd, &octet, 1) == 1;
        return fd >= 0 ? (close(fd), lu) : passe(false);
    }
    if (quoi == "write") {
        const int fd = open(chemin.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const bool ecrit = fd >= 0 && write(fd, "x", 1) == 1;
        return fd >= 0 ? (close(fd), ecrit) : passe(false);
    }
    if (quoi == "connect") {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0)
            return passe(false);
        sockaddr_in adresse{};
        adresse.sin_family = AF_INET;
        adresse.sin_port = htons(quint16(chemin.toUInt()));
        adresse.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool relie = passe(connect(s, reinterpret_cast<sockaddr *>(&adresse), sizeof adresse) == 0);
        close(s);
        return relie;
    }
    if (quoi == "run") {
        QByteArray argument = mots.value(2);
        char *arguments[] = {const_cast<char *>(chemin.constData()), argument.data(), nullptr};
        pid_t enfant;
        const int erreur = posix_spawn(&enfant, chemin.constData(), nullptr, nullptr, arguments, environ);
        if (erreur != 0) {
            errno = erreur;
            return passe(false);
        }
        int etat;
        waitpid(enfant, &etat, 0);
        return true;
    }
    if (quoi == "signal")
        return passe(kill(getppid(), 0) == 0);
    if (quoi == "memory") {
        char octet;
        iovec ici{&octet, 1};
        iovec la{nullptr, 1};
        return passe(process_vm_readv(getppid(), &ici, 1, &la, 1, 0) == 1);
    }
    return true;
}
#endif

class LecteurHostile : public QImageIOHandler
{
public:
    bool canRead() const override { return device() && device()->peek(signature.size()) == signature; }

    bool read(QImage *image) override
    {
        QList<QByteArray> lignes = device()->readAll().split('\n');
        const QByteArray mode = lignes.takeFirst().mid(signature.size()).trimmed();
        if (mode == "plain") {
            *image = QImage(5, 3, QImage::Format_RGB32);
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x)
                    image->setPixel(x, y, qRgb(40 * x, 80 * y, 200));
            return true;
        }
        if (mode == "crash")
            *static_cast<volatile int *>(nullptr) = 1;
        if (mode == "spin")
            for (volatile quint64 n = 0;; n = n + 1) {
            }
        if (mode == "sleep")
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(1));
        if (mode == "allocate") {
            // Room for them all beforehand: once refused, nothing more may be.
            static char *blocs[1 << 12];
            int obtenus = 0;
            while (obtenus < (1 << 12) && (blocs[obtenus] = static_cast<char *>(std::malloc(16 << 20))))
                blocs[obtenus++][0] = 1;
            for (int i = 0; i < obtenus; ++i)
                std::free(blocs[i]);
            *image = QImage(qMax(obtenus, 1), 1, QImage::Format_RGB32);
            image->fill(obtenus > 0 ? qRgb(20, 40, 60) : qRgb(0, 0, 0));
            return true;
        }
#ifdef Q_OS_UNIX
        if (mode == "escape") {
            lignes.removeAll(QByteArray());
            *image = QImage(qMax(1, int(lignes.size())), 1, QImage::Format_RGB32);
            image->fill(Qt::black);
            for (int i = 0; i < lignes.size(); ++i)
                image->setPixel(i, 0, tenter(lignes[i].split(' ')) ? qRgb(0, 255, 0) : qRgb(255, 0, 0));
            return true;
        }
#endif
        return false;
    }
};

} // namespace

class ModuleHostile : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "lecteur_hostile.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override
    {
        if (format == "hostile")
            return CanRead;
        return format.isEmpty() && device && device->isReadable() && device->peek(signature.size()) == signature
            ? CanRead
            : Capabilities();
    }

    QImageIOHandler *create(QIODevice *device, const QByteArray &format) const override
    {
        auto *lecteur = new LecteurHostile;
        lecteur->setDevice(device);
        lecteur->setFormat(format);
        return lecteur;
    }
};

#include "lecteur_hostile.moc"
