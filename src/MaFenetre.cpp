#include "MaFenetre.h"

#include "protocole.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#ifdef IMAGE_VIEWER_XCB
#include <QGuiApplication>
#include <QScreen>
#include <cstdlib>
#include <xcb/xcb.h>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Where the decoding helper stands: beside the viewer (the build tree, the
// Windows folder), or where an install on Linux puts it.
QString cheminDuDecodeur()
{
    const QString dossier = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QString nom = QStringLiteral(IMAGE_VIEWER_DECODEUR);
    for (const QString &chemin : {dossier + nom, dossier + QStringLiteral(IMAGE_VIEWER_DECODEUR_INSTALLE "/") + nom}) {
        if (QFileInfo(chemin).isFile())
            return chemin;
    }
    return QString();
}

// The ICC profile of the screen `fenetre` is on, as the desktop publishes
// it for a calibrated or wide-gamut monitor: on X11 the root window's
// _ICC_PROFILE property (_ICC_PROFILE_n for the n-th monitor). Empty, which
// is sRGB, where there is none (Wayland, a plain X server, Windows), or for
// one larger than a profile may be.
QByteArray profilDeLEcran(const QWidget *fenetre)
{
    QByteArray profil;
#if defined(IMAGE_VIEWER_XCB)
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return profil;
    const int rang = qMax(0, QGuiApplication::screens().indexOf(fenetre->screen()));
    int numero = 0;
    xcb_connection_t *connexion = xcb_connect(nullptr, &numero);
    if (!xcb_connection_has_error(connexion)) {
        const QByteArray nom = rang == 0 ? QByteArray("_ICC_PROFILE") : "_ICC_PROFILE_" + QByteArray::number(rang);
        xcb_intern_atom_reply_t *atome = xcb_intern_atom_reply(
            connexion, xcb_intern_atom(connexion, 1, quint16(nom.size()), nom.constData()), nullptr);
        xcb_screen_iterator_t ecrans = xcb_setup_roots_iterator(xcb_get_setup(connexion));
        for (; ecrans.rem > 0 && numero > 0; --numero)
            xcb_screen_next(&ecrans);
        if (atome && atome->atom != XCB_ATOM_NONE && ecrans.rem > 0) {
            xcb_get_property_reply_t *propriete = xcb_get_property_reply(
                connexion, xcb_get_property(connexion, 0, ecrans.data->root, atome->atom, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                            protocole::octetsDuProfilMax / 4),
                nullptr);
            if (propriete && propriete->format == 8 && propriete->bytes_after == 0)
                profil = QByteArray(static_cast<const char *>(xcb_get_property_value(propriete)),
                                    xcb_get_property_value_length(propriete));
            std::free(propriete);
        }
        std::free(atome);
    }
    xcb_disconnect(connexion);
#else
    Q_UNUSED(fenetre)
#endif
    return profil;
}

// The file the user picked, opened by the viewer itself, if it is a regular
// file (symbolic links followed): a FIFO would block the window forever on
// opening, and a device can be read without end. A cancelled choice (no
// path) stops here too.
class FichierChoisi
{
public:
    explicit FichierChoisi(const QString &chemin)
    {
#ifdef Q_OS_WIN
        poignee = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(chemin).utf16()),
                              GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER taille;
        if (poignee != INVALID_HANDLE_VALUE && GetFileType(poignee) == FILE_TYPE_DISK && GetFileSizeEx(poignee, &taille))
            octets = taille.QuadPart;
#else
        // Opened without waiting for a FIFO's writer, then looked at.
        fd = open(QFile::encodeName(chemin).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat etat;
        if (fd >= 0 && fstat(fd, &etat) == 0 && S_ISREG(etat.st_mode) && fcntl(fd, F_SETFL, 0) == 0)
            octets = etat.st_size;
#endif
    }
    ~FichierChoisi()
    {
#ifdef Q_OS_WIN
        if (poignee != INVALID_HANDLE_VALUE)
            CloseHandle(poignee);
#else
        if (fd >= 0)
            ::close(fd);
#endif
    }
    FichierChoisi(const FichierChoisi &) = delete;
    FichierChoisi &operator=(const FichierChoisi &) = delete;

    bool valide() const { return octets >= 0; }
#ifdef Q_OS_WIN
    HANDLE poignee = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
    qint64 octets = -1;
};

// The decoding helper: a process of its own that decodes one picture,
// limited and sandboxed, and sends back the pixels the label can show. One
// is started ahead of the choice it serves, so that loading Qt and its
// readers costs the choice nothing; each serves one picture.
class Decodeur : public QProcess
{
    Q_OBJECT

public:
    explicit Decodeur(QObject *parent) : QProcess(parent)
    {
        setProgram(cheminDuDecodeur());
        setStandardErrorFile(QProcess::nullDevice());
#ifndef Q_OS_WIN
        // The helper's pictures are fresh memory, which the system hands over
        // a page at a time: glibc's allocator (2.35 and later) may ask for
        // huge pages instead, and a large picture then decodes in half the
        // time. Tunables of the user's own come after, so they prevail.
        QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
        const QString reglages = environnement.value(QStringLiteral("GLIBC_TUNABLES"));
        const QString pagesEnormes = QStringLiteral("glibc.malloc.hugetlb=1");
        environnement.insert(QStringLiteral("GLIBC_TUNABLES"),
                             reglages.isEmpty() ? pagesEnormes : pagesEnormes + QLatin1Char(':') + reglages);
        setProcessEnvironment(environnement);
        setStandardInputFile(QProcess::nullDevice());
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([this] { dup2(socketDuDecodeur, STDIN_FILENO); });
#endif
#endif
    }
    ~Decodeur() override { arreter(); }
    Decodeur(const Decodeur &) = delete;
    Decodeur &operator=(const Decodeur &) = delete;

    // Starts the next helper, unless one is waiting already.
    void preparer()
    {
        if (state() != QProcess::NotRunning || program().isEmpty())
            return;
#ifdef Q_OS_WIN
        // A job holds it to the memory bound, lets it start no process,
        // keeps it off the desktop and the clipboard, and kills it when the
        // viewer lets go of it, however the viewer ends.
        travail = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limites{};
        limites.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_ACTIVE_PROCESS
            | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        limites.BasicLimitInformation.ActiveProcessLimit = 1;
        limites.ProcessMemoryLimit
            = SIZE_T(protocole::octetsDuDecodeur + protocole::octetsPourDecoder(QThread::idealThreadCount()));
        JOBOBJECT_BASIC_UI_RESTRICTIONS bureau{JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS
                                               | JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_GLOBALATOMS
                                               | JOB_OBJECT_UILIMIT_HANDLES | JOB_OBJECT_UILIMIT_READCLIPBOARD
                                               | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS
                                               | JOB_OBJECT_UILIMIT_WRITECLIPBOARD};
        if (!travail || !SetInformationJobObject(travail, JobObjectExtendedLimitInformation, &limites, sizeof limites))
            return arreter();
        SetInformationJobObject(travail, JobObjectBasicUIRestrictions, &bureau, sizeof bureau);
        start(QIODevice::ReadWrite);
        // It reads nothing of the user's before its request, which comes
        // only once it is in the job.
        processus = waitForStarted() ? OpenProcess(PROCESS_DUP_HANDLE | PROCESS_SET_QUOTA | PROCESS_TERMINATE,
                                                   FALSE, DWORD(processId()))
                                     : nullptr;
        if (!processus || !AssignProcessToJobObject(travail, processus))
            arreter();
#else
        // The request goes through a socket that is the helper's standard
        // input, as the open file goes with it.
        int paire[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, paire) != 0)
            return;
        socketDemandes = paire[0];
        socketDuDecodeur = paire[1];
        start(QIODevice::ReadOnly);
        ::close(socketDuDecodeur);
        socketDuDecodeur = -1;
#endif
    }

    // What the label, capped at `visible`, shows of the file at `chemin`:
    // the empty picture when it is no regular file, when the helper cannot
    // decode it, or when it dies, overruns its time or answers amiss.
    QImage decoder(const QString &chemin, const QSize &visible, const QByteArray &ecran)
    {
        const FichierChoisi fichier(chemin);
        if (!fichier.valide())
            return QImage();
        preparer();
        // The clock runs from when the helper is ready: what it does before
        // is its own starting, which reads nothing of the user's.
        char pret = 0;
        const bool demarre = attendre(1, QDeadlineTimer(protocole::tempsDeDemarrageMs)) && getChar(&pret)
            && pret == protocole::pret;
        const QDeadlineTimer limite(protocole::tempsDAttenteMs(fichier.octets));
        const QImage image = demarre && envoyer(fichier, chemin, visible, ecran) ? lireReponse(visible, limite) : QImage();
        arreter();
        // The next one gets ready once the picture is shown, while the user
        // looks at it.
        QTimer::singleShot(0, this, &Decodeur::preparer);
        return image;
    }

private:
    bool envoyer(const FichierChoisi &fichier, const QString &chemin, const QSize &visible, const QByteArray &ecran)
    {
        protocole::Demande demande{quint32(visible.width()), quint32(visible.height()), 0, {}, quint32(ecran.size()), 0};
        const QByteArray suffixe = QFileInfo(chemin).suffix().toLower().toLatin1();
        if (suffixe.size() < int(sizeof demande.suffixe))
            qstrncpy(demande.suffixe, suffixe.constData(), sizeof demande.suffixe);
#ifdef Q_OS_WIN
        HANDLE copie = nullptr;
        if (!processus
            || !DuplicateHandle(GetCurrentProcess(), fichier.poignee, processus, &copie, GENERIC_READ, FALSE, 0))
            return false;
        demande.fichier = quint64(quintptr(copie));
        // Its own processor time too, where the system keeps count of it.
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limites{};
        if (QueryInformationJobObject(travail, JobObjectExtendedLimitInformation, &limites, sizeof limites, nullptr)) {
            limites.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_TIME;
            limites.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart
                = protocole::tempsDeCalculMs(fichier.octets) * 10000;
            SetInformationJobObject(travail, JobObjectExtendedLimitInformation, &limites, sizeof limites);
        }
        return write(reinterpret_cast<const char *>(&demande), sizeof demande) == qint64(sizeof demande)
            && write(ecran) == ecran.size() && waitForBytesWritten();
#else
        if (socketDemandes < 0)
            return false;
        protocole::Message message(demande);
        cmsghdr *entete = CMSG_FIRSTHDR(&message.entete);
        entete->cmsg_level = SOL_SOCKET;
        entete->cmsg_type = SCM_RIGHTS;
        entete->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(entete), &fichier.fd, sizeof(int));
        ssize_t envoyes;
        do
            envoyes = sendmsg(socketDemandes, &message.entete, MSG_NOSIGNAL);
        while (envoyes < 0 && errno == EINTR);
        if (envoyes != ssize_t(sizeof demande))
            return false;
        // The screen's profile, a message a piece.
        for (int suite = 0; suite < ecran.size(); suite += int(envoyes)) {
            do
                envoyes = send(socketDemandes, ecran.constData() + suite,
                               size_t(qMin(protocole::morceauDeProfil, ecran.size() - suite)), MSG_NOSIGNAL);
            while (envoyes < 0 && errno == EINTR);
            if (envoyes <= 0)
                return false;
        }
        return true;
#endif
    }

    // Waits until `octets` bytes of the answer are in; false once the helper
    // has ended short of them, or the time is up.
    bool attendre(qint64 octets, const QDeadlineTimer &limite)
    {
        while (bytesAvailable() < octets) {
            if (state() == QProcess::NotRunning || limite.hasExpired())
                return false;
            patienter(limite);
        }
        return true;
    }

    // Waits for more of the answer, or the helper's end, a second at most.
    void patienter(const QDeadlineTimer &limite)
    {
        waitForReadyRead(int(qBound(qint64(1), limite.remainingTime(), qint64(1000))));
    }

    // The answer is the helper's word only: its size must be within the
    // label's cap, its format one that needs no colour table, its rows as
    // long as that picture's and exactly as many, then nothing more, and the
    // helper must end well.
    QImage lireReponse(const QSize &visible, const QDeadlineTimer &limite)
    {
        protocole::Reponse reponse{};
        if (!attendre(sizeof reponse, limite)
            || read(reinterpret_cast<char *>(&reponse), sizeof reponse) != qint64(sizeof reponse))
            return QImage();
        if (reponse.largeur < 1 || reponse.largeur > quint32(visible.width()) || reponse.hauteur < 1
            || reponse.hauteur > quint32(visible.height()) || reponse.format <= QImage::Format_Indexed8
            || reponse.format >= QImage::NImageFormats)
            return QImage();
        QImage image(int(reponse.largeur), int(reponse.hauteur), QImage::Format(reponse.format));
        const qint64 octets = qint64(image.sizeInBytes());
        if (image.isNull() || quint32(image.bytesPerLine()) != reponse.octetsParLigne || !attendre(octets, limite)
            || read(reinterpret_cast<char *>(image.bits()), octets) != octets)
            return QImage();
        while (state() != QProcess::NotRunning && bytesAvailable() == 0 && !limite.hasExpired())
            patienter(limite);
        if (state() != QProcess::NotRunning || bytesAvailable() > 0 || exitStatus() != QProcess::NormalExit
            || exitCode() != 0)
            return QImage();
        return image;
    }

    // Ends the helper, whatever it is doing, and lets go of what it had
    // and of whatever it sent.
    void arreter()
    {
        close();
#ifdef Q_OS_WIN
        if (processus)
            CloseHandle(processus);
        if (travail)
            CloseHandle(travail);
        processus = travail = nullptr;
#else
        if (socketDemandes >= 0)
            ::close(socketDemandes);
        socketDemandes = -1;
#endif
    }

#ifdef Q_OS_WIN
    HANDLE travail = nullptr;
    HANDLE processus = nullptr;
#else
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // In the new process, before the helper runs: the socket becomes its input.
    void setupChildProcess() override { dup2(socketDuDecodeur, STDIN_FILENO); }
#endif
    int socketDemandes = -1;   // the viewer's end
    int socketDuDecodeur = -1; // the helper's, until it has started
#endif
};

} // namespace

MaFenetre::MaFenetre()
    : QWidget()
{
    setWindowTitle(QStringLiteral("#Orvalis 3.0#"));

    boutonOuvrir = new QPushButton(QStringLiteral("Open the image"), this);
    boutonChoisir = new QPushButton(QStringLiteral("Choose an image"), this);
    dialogueImage = new QDialog(this);
    layoutHorizontal = new QHBoxLayout;

    labelImage = new QLabel(dialogueImage);
    // Read before the window is shown or laid out, so the label is capped at
    // a fresh top-level widget's size.
    labelImage->setMaximumSize(width(), height());

    // Installed on the dialog at the first choice, even a cancelled one.
    layoutVertical = new QVBoxLayout;

    layoutHorizontal->addWidget(boutonOuvrir);
    layoutHorizontal->addWidget(boutonChoisir);
    setLayout(layoutHorizontal);

    // Crosswise on purpose: "Choose an image" picks the file, "Open the image"
    // only shows the dialog.
    connect(boutonChoisir, SIGNAL(clicked()), this, SLOT(ouverture()));
    connect(boutonOuvrir, SIGNAL(clicked()), dialogueImage, SLOT(exec()));
}

MaFenetre::~MaFenetre()
{
    // Until the first choice the dialog does not own the vertical layout, and
    // nothing else would release it.
    if (!layoutVertical->parent())
        delete layoutVertical;
}

void MaFenetre::ouverture()
{
    // The window's helper, made at its first choice and started while the
    // user picks the file.
    auto *decodeur = findChild<Decodeur *>(QString(), Qt::FindDirectChildrenOnly);
    if (!decodeur)
        decodeur = new Decodeur(this);
    decodeur->preparer();

    const QString chemin = QFileDialog::getOpenFileName(this, QStringLiteral("Choose an image"),
                                                        QString(), QString());
    // A cancelled choice or an unreadable file leaves the dialog empty. The
    // picture is handed over as a temporary, so the pixmap takes the pixels
    // without a second copy.
    labelImage->setPixmap(QPixmap::fromImage(decodeur->decoder(chemin, labelImage->maximumSize(), profilDeLEcran(this))));
    layoutVertical->addWidget(labelImage);
    dialogueImage->setLayout(layoutVertical);
}

#include "MaFenetre.moc"
