// SPDX-License-Identifier: GPL-3.0-or-later
// The web station: the station's receive audio (and, while it transmits,
// what goes on the air), its spectrum and status on an HTTPS page for many
// listeners at once. One I/O thread serves HTTP and the WebSockets; the
// listeners' encoder reads the station's feed on a thread of its own; a
// third checks passwords, so that a login never holds up the others.
#pragma once

namespace marvane::web {

// Starts the web station of [web] in "marvane.conf" (MARVANE_WEB_PORT, for
// tests, wins over its port), after the settings are read. Logs the address
// to open and the certificate's fingerprint, or why there is no web station.
// spectrumTablesBuilt: the window has built the spectrum's tables; without
// one, the encoder's thread builds them before its first analysis.
void startWebStation(bool spectrumTablesBuilt);

}  // namespace marvane::web
