// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Who may connect to the link port: the allow list of "marvane.conf".

namespace marvane::link {

// Whether the allow list lets this dotted IPv4 address in.
bool clientAllowed(const char* address);

// The refusal's log line, at most once a second for each address, so that a
// stranger who keeps connecting does not flood the log.
void noteRefusal(const char* address);

} // namespace marvane::link
