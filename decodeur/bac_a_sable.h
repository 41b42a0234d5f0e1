#ifndef BAC_A_SABLE_H
#define BAC_A_SABLE_H

// What the helper does to itself, and how it talks to the viewer, on each
// system: everything that is not the decoding.

#include "protocole.h"

#include <QByteArray>
#include <QStringList>

class QFile;

namespace bacASable {

// First thing: nothing of the viewer's but the three standard streams, no
// crash dialog, no core file.
void isoler();

// Waits for the viewer's request and opens the file that comes with it into
// `fichier`, and reads the screen's profile that follows into `ecran`.
// False when the viewer has gone or sent anything else.
bool recevoir(protocole::Demande &demande, QFile &fichier, QByteArray &ecran);

// Limits memory and processor time for a file of `octets` bytes; set before
// the picture's first byte is read.
bool limiter(qint64 octets);

// Shuts the sandbox: from here on, nothing that runs may open, write or run
// anything, reach a network or another process. `dossiersLisibles` are the
// folders the readers may still read from. False when it cannot be shut,
// and then nothing is decoded.
bool enfermer(const QStringList &dossiersLisibles);

// Writes all of `octets` to the viewer.
bool ecrire(const char *octets, qint64 taille);

} // namespace bacASable

#endif // BAC_A_SABLE_H
