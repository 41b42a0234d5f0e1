// Measures one choice of a large picture in the real viewer window: the
// clipped decode against the whole-picture decode, time and memory, as
// ratios measured in the same run, and what reading the file's header for
// the bound costs of it. Run offscreen: QT_QPA_PLATFORM=offscreen.

// The header reading is private to the window's source, so it is compiled in.
#include "MaFenetre.cpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
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
// with no test checks, which need a running test.
void choisirFichier(Vue &v, const QString &chemin)
{
    cliquerPuis<QFileDialog>(v.choisir, [&](QFileDialog *d) {
        d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(chemin);
        static_cast<QDialog *>(d)->accept();
    });
}

double millisecondes(Vue &v, const QString &chemin)
{
    QElapsedTimer chrono;
    chrono.start();
    choisirFichier(v, chemin);
    return chrono.nsecsElapsed() / 1e6;
}

double mediane(std::vector<double> valeurs)
{
    std::sort(valeurs.begin(), valeurs.end());
    return valeurs[valeurs.size() / 2];
}

struct Mesure
{
    double ms;         // the choice, less the same choice of a 1 x 1 picture
    qint64 picKo;      // peak memory added during the choice
    qint64 gardeKo;    // memory still held once it is done
};

// `entiere`: lift the label's limit, so the window decodes the whole
// picture, exactly as before clipping.
Mesure mesurer(const QString &chemin, const QString &minuscule, bool entiere, int repetitions)
{
    Vue v;
    v.fenetre.show();
    if (entiere)
        v.label->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    choisirFichier(v, chemin); // warm: plugins, page cache, dialog
    // The file dialog's own round trip is the same for any file: a choice of
    // a 1 x 1 picture measures it.
    std::vector<double> choix, minuscules;
    for (int i = 0; i < repetitions; ++i) {
        minuscules.push_back(millisecondes(v, minuscule));
        choix.push_back(millisecondes(v, chemin));
    }

    choisirFichier(v, minuscule);
    malloc_trim(0);
    const qint64 avant = memoire("VmRSS");
    remettrePic();
    choisirFichier(v, chemin);
    const qint64 pic = memoire("VmHWM") - avant;
    malloc_trim(0);
    const qint64 garde = memoire("VmRSS") - avant;
    return {mediane(choix) - mediane(minuscules), pic, garde};
}

// The header reading alone, as the window does it before each decode: the
// reader's format, then what the file itself says. Median of many, in ms.
double lectureEntete(const QString &chemin)
{
    std::vector<double> fois;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer chrono;
        chrono.start();
        const Supplement enPlus = supplement(chemin, QImageReader(chemin).format(), QSize(640, 480));
        fois.push_back(enPlus.octets < 0 ? -1 : chrono.nsecsElapsed() / 1e6);
    }
    return mediane(fois);
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(taireOffscreen);
    QApplication application(argc, argv);
    QTemporaryDir dossier;
    const QString minuscule = dossier.filePath(QStringLiteral("1x1.png"));
    motif(1, 1).save(minuscule);
    const QImage photo = motif(6000, 4000);
    const int repetitions = 9;

    QTextStream sortie(stdout);
    sortie << "choice of a 6000 x 4000 picture, median of " << repetitions << " (clipped / whole)\n";
    bool atteint = true;
    struct Format
    {
        const char *nom;
        const char *suffixe;
        bool progressif;
    };
    for (const Format &format : {Format{"JPEG", "jpg", false}, Format{"progressive JPEG", "jpg", true},
                                 Format{"PNG", "png", false}}) {
        const QString chemin = dossier.filePath(QStringLiteral("photo-%1.%2")
                                                    .arg(format.progressif).arg(QLatin1String(format.suffixe)));
        QImageWriter ecrivain(chemin);
        ecrivain.setQuality(90);
        ecrivain.setProgressiveScanWrite(format.progressif);
        ecrivain.write(photo);
        const Mesure entiere = mesurer(chemin, minuscule, true, repetitions);
        const Mesure coupee = mesurer(chemin, minuscule, false, repetitions);
        const double entete = lectureEntete(chemin);
        const double temps = coupee.ms / entiere.ms;
        const double garde = double(coupee.gardeKo) / entiere.gardeKo;
        sortie << QStringLiteral("%1: time %2 ms / %3 ms = %4x; peak +%5 / +%6 MB = %7x; held +%8 / +%9 MB = %10x; "
                                 "header reading %11 ms = %12x of the clipped choice\n")
                      .arg(QLatin1String(format.nom))
                      .arg(coupee.ms, 0, 'f', 1).arg(entiere.ms, 0, 'f', 1).arg(temps, 0, 'f', 2)
                      .arg(coupee.picKo / 1024.0, 0, 'f', 1).arg(entiere.picKo / 1024.0, 0, 'f', 1)
                      .arg(double(coupee.picKo) / entiere.picKo, 0, 'f', 2)
                      .arg(coupee.gardeKo / 1024.0, 0, 'f', 1).arg(entiere.gardeKo / 1024.0, 0, 'f', 1)
                      .arg(garde, 0, 'f', 3).arg(entete, 0, 'f', 3).arg(entete / coupee.ms, 0, 'f', 4);
        // JPEG: the clipped choice well under the whole decode, and the
        // header reading a few milliseconds at most. Every format: only what
        // the label shows is kept.
        const bool jpeg = QLatin1String(format.suffixe) == QLatin1String("jpg");
        if (garde > 0.05 || entete < 0 || (jpeg && entete > 3) || (jpeg && !format.progressif && temps > 0.35))
            atteint = false;
    }
    sortie << (atteint ? "choice targets met\n" : "choice targets NOT met\n");
    return atteint ? 0 : 1;
}
