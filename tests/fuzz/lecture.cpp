// libFuzzer target: any bytes, as the picture file a user picks (named with
// any format's suffix), through the decoding helper's own decoding with the
// label's real cap, in this process,
// built with the sanitizers. What counts as failing is a crash, a sanitizer
// report or a leak. An input that would take more time or memory than the
// helper is allowed is no finding: the helper's limits stop it (run.sh).
//
// The readers are Qt's own, those built with it (qtbase). The plugins third
// parties add beside them are the helper's to contain, not this target's to
// fix; the misbehaving reader of the unit tests shows that they are.

#include "MaFenetre.h"
#include "lecture.h"

#include <QApplication>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QLibraryInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

QString cheminEssai;
QSize plafond;

// Qt is not instrumented, so the fuzzer sees nothing of its readers: these
// counters tell it which one read the input and whether a picture came of
// it, so that the corpus keeps an input of every format and outcome.
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t issues[64];

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

    // Qt's own reader plugins, alone in a folder that stands for Qt's.
    const QString lecteurs = dossier.filePath(QStringLiteral("imageformats"));
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString ceuxDeQt = QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/imageformats/");
#else
    const QString ceuxDeQt = QLibraryInfo::location(QLibraryInfo::PluginsPath) + QStringLiteral("/imageformats/");
#endif
    QDir().mkpath(lecteurs);
    for (const char *module : {"libqgif.so", "libqico.so", "libqjpeg.so"})
        if (!QFile::link(ceuxDeQt + QLatin1String(module), lecteurs + QLatin1Char('/') + QLatin1String(module)))
            qFatal("cannot link %s%s", qPrintable(ceuxDeQt), module);
    QCoreApplication::setLibraryPaths({dossier.path()});
    lecture::chargerLecteurs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    QFile fichier(cheminEssai);
    if (!fichier.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || fichier.write(reinterpret_cast<const char *>(donnees), qint64(taille)) != qint64(taille))
        qFatal("cannot write %s", qPrintable(cheminEssai));
    fichier.close();
    if (!fichier.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(cheminEssai));
    // The file's name may end in the suffix of any format, or in none: its
    // last byte says which.
    static const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    const int choix = taille > 0 ? donnees[taille - 1] % (formats.size() + 1) : 0;
    const QByteArray suffixe = choix > 0 ? formats[choix - 1] : QByteArray();
    // On a wide-gamut screen, so that every picture's colours are converted,
    // from the profile its file holds, damaged or not, or from sRGB.
    static const QByteArray ecran = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    const QImage image = lecture::lirePartieVisible(&fichier, suffixe, plafond, ecran);
    fichier.seek(0);
    const QByteArray format = QImageReader(&fichier).format();
    ++issues[(qHash(suffixe + '/' + format) % 32) * 2 + (image.isNull() ? 0 : 1)];
    return 0;
}
