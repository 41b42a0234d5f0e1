// libFuzzer target: any bytes, as the picture file a user picks, through the
// viewer's own reading (its header checks, then Qt's readers) with the
// label's real cap. What counts as failing is the fuzzer's: a crash, a
// sanitizer report, an allocation or a process beyond the bound, an input
// that takes more than its time limit.

// The reading is private to the window's source, so the target compiles it in.
#include "MaFenetre.cpp"

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

QString cheminEssai;
QSize plafond;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The fuzzer's own options are no business of the toolkit's.
    static int argc = 1;
    static char nom[] = "fuzz-lecture";
    static char *argv[] = {nom, nullptr};
    static QApplication application(argc, argv);
    static QTemporaryDir dossier;
    cheminEssai = dossier.filePath(QStringLiteral("essai"));
    plafond = MaFenetre().findChild<QLabel *>()->maximumSize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    QFile fichier(cheminEssai);
    if (!fichier.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || fichier.write(reinterpret_cast<const char *>(donnees), qint64(taille)) != qint64(taille))
        qFatal("cannot write %s", qPrintable(cheminEssai));
    fichier.close();
    lireImage(cheminEssai, plafond);
    return 0;
}
