// Measures the choice of one picture in the real viewer window, decoded by
// its helper, against the same decoding done in this process as the viewer
// did before it had a helper, time and memory, as figures measured in the
// same run. Run offscreen (QT_QPA_PLATFORM=offscreen), one picture a run, so
// that the helpers' peak memory is that picture's:
//
//     bench-choix 1x1|jpeg|progressive|png|turned
//
// Prints one line; exits non-zero if a target is missed.

#include "lecture.h"

#include <QApplication>
#include <QBuffer>
#include <QColorSpace>
#include <QImageReader>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTextStream>

#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <malloc.h>
#include <thread>
#include <vector>

#include "fichiers.h"
#include "viewertest.h"

namespace {

// A process's resident or peak resident memory ("VmRSS", "VmHWM"), in kB,
// as its `status` reads; -1 once it is gone.
qint64 champ(const QByteArray &status, const char *nom)
{
    const QByteArray cle = QByteArray(nom) + ':';
    for (const QByteArray &ligne : status.split('\n'))
        if (ligne.startsWith(cle))
            return ligne.mid(cle.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QByteArray status(const QString &processus)
{
    QFile fichier(QStringLiteral("/proc/%1/status").arg(processus));
    return fichier.open(QIODevice::ReadOnly) ? fichier.readAll() : QByteArray();
}

qint64 memoire(const char *nom)
{
    return champ(status(QStringLiteral("self")), nom);
}

void remettrePic()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The offscreen platform's note on every dialog it sizes is no result.
void taireOffscreen(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (!estNoteOffscreen(message))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Picks `chemin` through the real file dialog, like the tests' choisir but
// with no test checks, which need a running test; an empty path cancels.
void choisirFichier(Vue &v, const QString &chemin)
{
    cliquerPuis<QFileDialog>(v.choisir, [&](QFileDialog *d) {
        if (chemin.isEmpty())
            return;
        d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(chemin);
        static_cast<QDialog *>(d)->accept();
    });
}

double mediane(std::vector<double> valeurs)
{
    std::sort(valeurs.begin(), valeurs.end());
    return valeurs[valeurs.size() / 2];
}

// The median time of each of `actions`, in ms, taken in turn so that all
// meet the same machine, each after a moment of idleness like a user's, in
// which the window gets its next helper ready.
std::vector<double> chronometrer(const std::vector<std::function<void()>> &actions, int fois)
{
    std::vector<std::vector<double>> temps(actions.size());
    for (int i = 0; i < fois; ++i) {
        for (size_t a = 0; a < actions.size(); ++a) {
            QTest::qWait(300);
            QElapsedTimer chrono;
            chrono.start();
            actions[a]();
            temps[a].push_back(chrono.nsecsElapsed() / 1e6);
        }
    }
    std::vector<double> medianes;
    for (const auto &t : temps)
        medianes.push_back(mediane(t));
    return medianes;
}

// The peak memory of the process `pid`, in kB, read until it ends: its own
// high-water mark, not the viewer's pages it was forked with.
qint64 picDe(qint64 pid)
{
    qint64 pic = 0;
    for (;;) {
        const QByteArray etat = status(QString::number(pid));
        if (etat.isEmpty() || etat.contains("State:\tZ") || etat.contains("State:\tX"))
            return pic;
        pic = qMax(pic, champ(etat, "VmHWM"));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// What `faire` adds to this process's memory at its peak and once done, in kB.
QPair<qint64, qint64> memoireDe(const std::function<void()> &faire)
{
    malloc_trim(0);
    const qint64 avant = memoire("VmRSS");
    remettrePic();
    faire();
    const qint64 pic = memoire("VmHWM") - avant;
    malloc_trim(0);
    return {pic, memoire("VmRSS") - avant};
}

// The helper's decoding of `chemin`, for a label capped at `visible`, done
// in this process.
QImage decoderIci(const QString &chemin, const QSize &visible)
{
    QFile fichier(chemin);
    fichier.open(QIODevice::ReadOnly);
    return lecture::lirePartieVisible(&fichier, QByteArray(), visible);
}

} // namespace

// A 24 MP photo taken upright (Exif orientation 6) with a Display P3
// profile, against the same photo untagged and unturned, and against it
// with the profile alone and with the orientation alone: the time of a
// choice, and the memory the viewer holds after it.
int tournee(Vue &v, const QString &dossier)
{
    const auto jpeg = [](const QImage &image, int orientation) {
        QBuffer tampon;
        tampon.open(QIODevice::WriteOnly);
        QImageWriter ecrivain(&tampon, "jpeg");
        ecrivain.setQuality(90);
        ecrivain.write(image);
        return orientation == 1 ? tampon.data() : fichiers::jpegOriente(tampon.data(), orientation);
    };
    const QImage photo = motif(6000, 4000);
    QImage p3 = photo;
    p3.setColorSpace(QColorSpace::DisplayP3);
    const QStringList noms{QStringLiteral("droite"), QStringLiteral("p3"), QStringLiteral("tournee"),
                           QStringLiteral("p3-tournee")};
    QStringList chemins;
    for (int i = 0; i < noms.size(); ++i) {
        chemins << dossier + QLatin1Char('/') + noms[i] + QStringLiteral(".jpg");
        fichiers::ecrire(chemins.last(), jpeg(i % 2 ? p3 : photo, i >= 2 ? 6 : 1));
    }
    const QSize plafond = v.label->maximumSize();
    choisirFichier(v, chemins.last());
    if (imageDuLabel(v.label).size() != plafond)
        return 1;
    std::vector<std::function<void()>> choix;
    for (const QString &chemin : chemins)
        choix.push_back([&v, chemin] { choisirFichier(v, chemin); });
    // The visible part of the turned photo is its last stored rows, which a
    // JPEG reaches only through every row before: read here, that part of
    // the upright photo against the turned photo's whole reading.
    const QRect dernieresLignes((photo.width() - plafond.height()) / 2, photo.height() - plafond.width(),
                                plafond.height(), plafond.width());
    choix.push_back([&] {
        QImageReader lecteur(chemins[0]);
        lecteur.setClipRect(dernieresLignes);
        lecteur.read();
    });
    choix.push_back([&] { decoderIci(chemins[2], plafond); });
    const std::vector<double> temps = chronometrer(choix, 25);
    QTest::qWait(300);
    std::vector<qint64> gardes;
    for (const QString &chemin : chemins)
        gardes.push_back(memoireDe([&] { choisirFichier(v, chemin); }).second);
    QFile fichier(chemins.first());
    fichier.open(QIODevice::ReadOnly);
    QImage gardee;
    const qint64 entiere = memoireDe([&] { gardee = QImageReader(&fichier).read(); }).second;
    const double rapport = temps[3] / temps[0];
    const double garde = double(qMax(gardes[3], gardes[0])) / entiere;
    QTextStream(stdout) << QStringLiteral("turned P3 photo: choice %1 ms against %2 ms untagged and upright = %3x "
                                          "(P3 alone %4 ms = %5x, turned alone %6 ms = %7x); read here, turned "
                                          "%8 ms against the upright photo's same stored rows %9 ms = %10x; held %11 kB "
                                          "against %12 kB = %13x the whole picture decoded (%14 MB)\n")
                               .arg(temps[3], 0, 'f', 1).arg(temps[0], 0, 'f', 1).arg(rapport, 0, 'f', 2)
                               .arg(temps[1], 0, 'f', 1).arg(temps[1] / temps[0], 0, 'f', 2)
                               .arg(temps[2], 0, 'f', 1).arg(temps[2] / temps[0], 0, 'f', 2)
                               .arg(temps[5], 0, 'f', 1).arg(temps[4], 0, 'f', 1).arg(temps[5] / temps[4], 0, 'f', 2)
                               .arg(gardes[3]).arg(gardes[0]).arg(garde, 0, 'f', 3).arg(entiere / 1024.0, 0, 'f', 1);
    return rapport <= 1.1 && garde <= 0.05 ? 0 : 1;
}

int main(int argc, char *argv[])
{
    qInstallMessageHandler(taireOffscreen);
    QApplication application(argc, argv);
    const QString quoi = application.arguments().value(1);
    QTemporaryDir dossier;
    if (quoi == QLatin1String("turned")) {
        Vue v;
        v.fenetre.show();
        return tournee(v, dossier.path());
    }
    const bool minuscule = quoi == QLatin1String("1x1");
    const QImage photo = motif(minuscule ? 1 : 6000, minuscule ? 1 : 4000);
    const QString chemin = dossier.filePath(QStringLiteral("photo"));
    QImageWriter ecrivain(chemin, quoi == QLatin1String("png") || minuscule ? "png" : "jpeg");
    ecrivain.setQuality(90);
    ecrivain.setProgressiveScanWrite(quoi == QLatin1String("progressive"));
    if (!(minuscule || quoi == QLatin1String("jpeg") || quoi == QLatin1String("progressive") || quoi == QLatin1String("png"))
        || !ecrivain.write(photo)) {
        std::fprintf(stderr, "usage: %s 1x1|jpeg|progressive|png\n", argv[0]);
        return 2;
    }
    const int fois = 15;

    Vue v;
    v.fenetre.show();
    const QSize plafond = v.label->maximumSize();
    choisirFichier(v, chemin); // warm: the dialog, the page cache
    if (imageDuLabel(v.label).size() != photo.size().boundedTo(plafond)) {
        std::fprintf(stderr, "%s: the picture did not open\n", qPrintable(quoi));
        return 1;
    }
    // The choice through the helper; the file dialog's own round trip, a
    // cancelled choice; the same decoding in this process, readers loaded.
    lecture::chargerLecteurs();
    const std::vector<double> temps = chronometrer(
        {[&] { choisirFichier(v, chemin); }, [&] { choisirFichier(v, QString()); }, [&] { decoderIci(chemin, plafond); }},
        fois);
    // What starting ahead of the choice hides: a helper's loading, to its
    // first byte.
    std::vector<double> chargements;
    for (int i = 0; i < fois; ++i) {
        QProcess demarre;
        QElapsedTimer chrono;
        chrono.start();
        demarre.start(QCoreApplication::applicationDirPath() + QStringLiteral("/" IMAGE_VIEWER_DECODEUR), QStringList());
        demarre.waitForReadyRead();
        chargements.push_back(chrono.nsecsElapsed() / 1e6);
        demarre.kill();
        demarre.waitForFinished();
    }
    const double chargement = mediane(chargements);
    const double choix = temps[0];
    const double dialogue = temps[1];
    const double ici = temps[2];
    const double ajout = choix - dialogue - ici;

    // Memory: this process's during a choice, and the helper's; the whole
    // picture decoded here, as before the viewer kept only what it shows.
    QTest::qWait(300);
    const auto *aide = v.fenetre.findChild<QProcess *>();
    std::future<qint64> picAide = std::async(std::launch::async, picDe, aide ? aide->processId() : 0);
    const auto viewer = memoireDe([&] { choisirFichier(v, chemin); });
    const qint64 picViewer = memoire("VmHWM");
    const qint64 picDuDecodeur = picAide.get();
    QImage gardee;
    const auto entiere = memoireDe([&] { gardee = decoderIci(chemin, QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX)); });

    const double garde = double(viewer.second) / entiere.second;
    QTextStream(stdout) << QStringLiteral(
        "%1: choice through the helper %2 ms, in the viewer's process %3 ms (dialog %4 + decoding %5): "
        "the helper adds %6 ms (loading one, ahead of it: %14 ms); viewer peak +%7 MB, held +%8 MB = %9x the whole picture decoded in the viewer "
        "(peak +%10, held +%11 MB); helper peak %12 MB, viewer and helper together %13 MB\n")
        .arg(quoi)
        .arg(choix, 0, 'f', 1).arg(dialogue + ici, 0, 'f', 1).arg(dialogue, 0, 'f', 1).arg(ici, 0, 'f', 1)
        .arg(ajout, 0, 'f', 1)
        .arg(viewer.first / 1024.0, 0, 'f', 1).arg(viewer.second / 1024.0, 0, 'f', 1)
        .arg(minuscule ? 1.0 : garde, 0, 'f', 3)
        .arg(entiere.first / 1024.0, 0, 'f', 1).arg(entiere.second / 1024.0, 0, 'f', 1)
        .arg(picDuDecodeur / 1024.0, 0, 'f', 1).arg((picViewer + picDuDecodeur) / 1024.0, 0, 'f', 1)
        .arg(chargement, 0, 'f', 1);
    // The helper adds at most 30 ms to a choice; only what the label shows is kept.
    return ajout <= 30 && (minuscule || garde <= 0.05) ? 0 : 1;
}
