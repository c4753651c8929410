// The options of fwkit's subcommands that read a package from an HTTP or HTTPS
// server (fwkit check URL, fwkit install URL): the server's and the client's
// certificates, the time-outs and the retries, read into CHttpSource::Options.
#pragma once

#include <getopt.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "CHttpSource.h"
#include "CPackageSource.h"

namespace Cli {

// Their values from getopt_long, beside the common options' (0x1000).
enum NetOption { kCaCert = 0x1200, kCaPath, kCert, kCertKey, kConnectTimeout, kSpeedTime, kRetries };

// The long options; the client key's is `keyName` ("key", or "cert-key" where
// --key names a public key).
std::vector<option> NetOptions(const char* keyName);
// Their help lines, the descriptions from `column` on.
std::string NetHelp(const char* keyName, size_t column);
// Applies option `c` with its value `text`: 1 taken, 0 when `c` is none of
// them, -1 after the message of a value refused.
int TakeNet(int c, const char* text, CHttpSource::Options& options);

// A source for the package `name` when it is a URL, null otherwise: made in the
// network module (NetModule.h), with the download's progress shown. `counters`
// (when given) is set to what the download did, null when the module could not
// be loaded.
std::unique_ptr<CPackageSource> OpenUrl(const std::string& name, const CHttpSource::Options& options,
                                        const CHttpSource::Counters** counters = nullptr);

// The JSON document `document` (an object) with what the download did:
// "fetch": {"bytes_fetched", "requests", "retries"}.
std::string WithFetch(const std::string& document, const CHttpSource::Counters& counters);

}  // namespace Cli
