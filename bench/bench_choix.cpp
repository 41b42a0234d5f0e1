// Measures the choice of one picture in the real viewer window, decoded by
// its helper, against the same decoding done in this process as the viewer
// did before it had a helper, time and memory, as figures measured in the
// same run. Run offscreen (QT_QPA_PLATFORM=offscreen), one picture a run, so
// that the helpers' peak memory is that picture's:
//
//     bench-choix 1x1|jpeg|progressive|png
//
// Prints one line; exits non-zero if a target is missed.

#include "lecture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <sys/resource.h>
#include <vector>

#include "viewertest.h"

namespace {

// Resident and peak resident memory of this process, in kB.
qint64 memoire(const char *champ)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray cle = QByteArray(champ) + ':';
    for (const QByteArray &ligne : status.readAll().split('\n'))
        if (ligne.startsWith(cle))
            return ligne.mid(cle.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
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

// The median time of `faire`, in ms, each after a moment of idleness like a
// user's, in which the window gets its next helper ready.
double chronometrer(const std::function<void()> &faire, int fois)
{
    std::vector<double> temps;
    for (int i = 0; i < fois; ++i) {
        QTest::qWait(300);
        QElapsedTimer chrono;
        chrono.start();
        faire();
        temps.push_back(chrono.nsecsElapsed() / 1e6);
    }
    return mediane(temps);
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

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(taireOffscreen);
    QApplication application(argc, argv);
    const QString quoi = application.arguments().value(1);
    QTemporaryDir dossier;
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
    const int fois = 9;

    Vue v;
    v.fenetre.show();
    const QSize plafond = v.label->maximumSize();
    choisirFichier(v, chemin); // warm: the dialog, the page cache
    // The choice through the helper; the file dialog's own round trip, a
    // cancelled choice; the same decoding in this process, readers loaded.
    const double choix = chronometrer([&] { choisirFichier(v, chemin); }, fois);
    const double dialogue = chronometrer([&] { choisirFichier(v, QString()); }, fois);
    lecture::chargerLecteurs();
    const auto decoderIci = [&](const QSize &visible) {
        QFile fichier(chemin);
        fichier.open(QIODevice::ReadOnly);
        return lecture::lirePartieVisible(&fichier, QByteArray(), visible);
    };
    const double ici = chronometrer([&] { decoderIci(plafond); }, fois);
    const double aide = choix - dialogue - ici;

    // Memory: this process's during a choice; the helpers' peak; the whole
    // picture decoded here, as before the viewer kept only what it shows.
    QTest::qWait(300);
    const auto viewer = memoireDe([&] { choisirFichier(v, chemin); });
    const qint64 debutChoix = memoire("VmHWM");
    rusage enfants{};
    getrusage(RUSAGE_CHILDREN, &enfants);
    QImage gardee;
    const auto entiere = memoireDe([&] { gardee = decoderIci(QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX)); });

    const double garde = double(viewer.second) / entiere.second;
    QTextStream(stdout) << QStringLiteral(
        "%1: choice %2 ms = dialog %3 + decoding %4 + helper %5 ms; viewer peak +%6 MB, held +%7 MB "
        "(whole picture decoded in the viewer: peak +%8, held +%9 MB, %10x); helper peak %11 MB, "
        "viewer and helper together %12 MB\n")
        .arg(quoi)
        .arg(choix, 0, 'f', 1).arg(dialogue, 0, 'f', 1).arg(ici, 0, 'f', 1).arg(aide, 0, 'f', 1)
        .arg(viewer.first / 1024.0, 0, 'f', 1).arg(viewer.second / 1024.0, 0, 'f', 1)
        .arg(entiere.first / 1024.0, 0, 'f', 1).arg(entiere.second / 1024.0, 0, 'f', 1)
        .arg(minuscule ? 1.0 : garde, 0, 'f', 3).arg(enfants.ru_maxrss / 1024.0, 0, 'f', 1)
        .arg((debutChoix + enfants.ru_maxrss) / 1024.0, 0, 'f', 1);
    // The helper adds at most 30 ms to a choice; only what the label shows is kept.
    return aide <= 30 && (minuscule || garde <= 0.05) ? 0 : 1;
}
