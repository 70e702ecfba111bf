// SPDX-License-Identifier: GPL-3.0-or-later
// The web station's certificate: the operator's PEM files, or a self-signed
// pair made at first start for this machine's host names and addresses and
// kept beside the settings (the key readable by its owner only).
#pragma once

#include <string>

namespace marvane::web {

inline constexpr const char* kOwnCertificateFile = "web-cert.pem";
inline constexpr const char* kOwnKeyFile = "web-key.pem";

struct CertificateFiles {
    std::string certificate;  // PEM, the chain when it is a real one
    std::string key;
    std::string fingerprint;  // SHA-256 of the (first) certificate, "AB:CD:..."
    bool madeNow = false;     // a self-signed pair was made at this start
};

// The files of [web] certificate and key when both are given; with both
// empty, the self-signed pair in the working folder, made when missing.
// False with the reason in error when there is nothing the station can
// serve with (then it serves nothing).
bool prepareCertificate(const std::string& certificate, const std::string& key,
                        CertificateFiles& out, std::string& error);

// Makes a self-signed pair for the names and addresses of this machine
// (the host name, localhost, every interface's address): an ECDSA P-256 key
// (file mode 0600) and a certificate valid for ten years.
bool makeSelfSignedPair(const char* certificatePath, const char* keyPath, std::string& error);

// The SHA-256 fingerprint of the first certificate in a PEM file.
bool certificateFingerprint(const std::string& path, std::string& fingerprint, std::string& error);

}  // namespace marvane::web
