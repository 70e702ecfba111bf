// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/certificate.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace marvane::web {

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;

std::string openSslError(const char* what) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return std::string(what) + ": " + text;
}

bool exists(const char* path) {
    struct stat s{};
    return ::stat(path, &s) == 0;
}

// The names a browser may reach this machine by.
std::string subjectAltNames(std::string& commonName) {
    std::set<std::string> entries;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
        commonName = host;
        entries.insert(std::string("DNS:") + host);
    } else {
        commonName = "localhost";
    }
    entries.insert("DNS:localhost");
    entries.insert("IP:127.0.0.1");
    entries.insert("IP:::1");
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
            if (a->ifa_addr == nullptr) continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (a->ifa_addr->sa_family == AF_INET) {
                inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text,
                          sizeof text);
            } else if (a->ifa_addr->sa_family == AF_INET6) {
                const in6_addr& six = reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr;
                if (IN6_IS_ADDR_LINKLOCAL(&six)) continue;  // needs a zone: no use in a URL
                inet_ntop(AF_INET6, &six, text, sizeof text);
            } else {
                continue;
            }
            entries.insert(std::string("IP:") + text);
        }
        ::freeifaddrs(list);
    }
    std::string joined;
    for (const std::string& e : entries) joined += (joined.empty() ? "" : ",") + e;
    return joined;
}

bool addExtension(X509* certificate, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// Creates path anew with mode and writes through write(FILE*).
template <class Write>
bool writeNew(const char* path, mode_t mode, Write write, std::string& error) {
    ::unlink(path);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    std::FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        ::close(fd);
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    const bool written = write(file);
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = openSslError(path);
        ::unlink(path);
        return false;
    }
    return true;
}

}  // namespace

bool makeSelfSignedPair(const char* certificatePath, const char* keyPath, std::string& error) {
    Key key(EVP_EC_gen("P-256"));
    Certificate certificate(X509_new());
    if (!key || !certificate) {
        error = openSslError("making the key");
        return false;
    }
    X509* c = certificate.get();
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;  // a positive number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    ASN1_INTEGER* asn1Serial = BN_to_ASN1_INTEGER(number, nullptr);
    BN_free(number);
    std::string commonName;
    const std::string names = subjectAltNames(commonName);
    X509_NAME* subject = X509_get_subject_name(c);
    const bool made =
        asn1Serial != nullptr && X509_set_serialNumber(c, asn1Serial) == 1 &&
        X509_set_version(c, 2) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(c), -24 * 3600) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(c), 3650L * 24 * 3600) != nullptr &&
        X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Marvane station"), -1,
                                   -1, 0) == 1 &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.substr(0, 64).c_str()),
                                   -1, -1, 0) == 1 &&
        X509_set_issuer_name(c, subject) == 1 && X509_set_pubkey(c, key.get()) == 1 &&
        addExtension(c, NID_basic_constraints, "critical,CA:FALSE") &&
        addExtension(c, NID_key_usage, "critical,digitalSignature") &&
        addExtension(c, NID_ext_key_usage, "serverAuth") &&
        addExtension(c, NID_subject_alt_name, names.c_str()) &&
        X509_sign(c, key.get(), EVP_sha256()) > 0;
    ASN1_INTEGER_free(asn1Serial);
    if (!made) {
        error = openSslError("making the certificate");
        return false;
    }
    return writeNew(keyPath, 0600,
                    [&](std::FILE* f) {
                        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr,
                                                    nullptr) == 1;
                    },
                    error) &&
           writeNew(certificatePath, 0644,
                    [&](std::FILE* f) { return PEM_write_X509(f, c) == 1; }, error);
}

bool certificateFingerprint(const std::string& path, std::string& fingerprint, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Certificate certificate(PEM_read_X509(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) {
        error = openSslError(path.c_str());
        return false;
    }
    fingerprint.clear();
    for (unsigned int i = 0; i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
        fingerprint += pair;
    }
    return true;
}

bool prepareCertificate(const std::string& certificate, const std::string& key,
                        CertificateFiles& out, std::string& error) {
    out = CertificateFiles{};
    if (certificate.empty() != key.empty()) {
        error = "[web] certificate and key go together: give both, or neither for a self-signed pair";
        return false;
    }
    if (certificate.empty()) {
        out.certificate = kOwnCertificateFile;
        out.key = kOwnKeyFile;
        if (!exists(kOwnCertificateFile) || !exists(kOwnKeyFile)) {
            if (!makeSelfSignedPair(kOwnCertificateFile, kOwnKeyFile, error)) return false;
            out.madeNow = true;
        }
    } else {
        out.certificate = certificate;
        out.key = key;
    }
    return certificateFingerprint(out.certificate, out.fingerprint, error);
}

}  // namespace marvane::web
