// A package on an HTTP or HTTPS server, read by position (CPackageSource) with
// range requests through one libcurl easy handle, whose connection is kept
// between reads. Nothing is stored: each byte goes to the reader's sink as it
// arrives, in libcurl's receive buffer at most, so memory does not grow with
// the package.
//
// The first answer fixes which file is read: its size, its ETag and its
// Last-Modified date. Every later request carries If-Range with the ETag (or
// the date), and an answer for another file (another ETag, date or size)
// gives Changed: a package swapped on the server during a download is never
// mixed with the one read so far.
//
// A transfer cut by the network (a dropped connection, a stall below the
// low-speed limit, an answer 408, 429 or 5xx) is tried again after a pause
// that doubles each time, at most `retries` times in all the source's reads
// (the package's and its attachments', so one install), and goes on
// with a range request from the first byte not yet handed on, so nothing is
// fetched twice. Answers that will not change are final: 404 and 410 give
// OpenFailed, 416 CutShort (OpenFailed on the first request: an empty
// file), other 4xx ReadFailed. A server that ignores Range
// (200 with the whole file) is read from its start, the bytes before the
// offset skipped.
//
// libcurl's global state is the program's: curl_global_init before the first
// CHttpSource, unless libcurl says it is thread-safe (CURL_VERSION_THREADSAFE),
// where it initialises itself on first use. The proxy variables (http_proxy,
// https_proxy, no_proxy) are honoured as libcurl reads them.
//
//   CHttpSource source("https://updates.example/release.pkg", options);
//   if (source.Read(0, CPackageHeader::kMaxSize, sink) != PackageError::Ok) ...
#pragma once

#include <strings.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "CPackageSource.h"

class CHttpSource : public CPackageSource {
  public:
    // The most a time-out (seconds) and the retries may be.
    static constexpr long kMaxSeconds = 3600;
    static constexpr unsigned kMaxRetries = 100;

    struct Options {
        std::string caCert;         // the CA certificates (PEM) a server is checked with
        std::string caPath;         // or a directory of them; neither: the system's
        std::string cert;           // a client certificate for mutual TLS (PEM)
        std::string key;            // its private key, when not in `cert`
        long connectTimeout = 30;   // seconds to connect
        long lowSpeedLimit = 1024;  // bytes per second below which, for
        long lowSpeedTime = 30;     // this many seconds, a transfer is cut
        unsigned retries = 3;       // tries again after a failure, in all
        unsigned backoff = 500;     // milliseconds before the first retry
    };

    // What the source did, for the reader's report.
    struct Counters {
        uint64_t fetched = 0;   // body bytes received, those skipped included
        uint64_t requests = 0;  // requests sent
        uint64_t retries = 0;   // of those, tries again after a failure
    };

    // Told the body bytes received so far, as they arrive.
    using Fetched = std::function<void(uint64_t fetched)>;

    CHttpSource(std::string url, Options options);
    ~CHttpSource() override;
    CHttpSource(const CHttpSource&) = delete;
    CHttpSource& operator=(const CHttpSource&) = delete;

    // Whether `name` is a URL this source reads (http:// or https://). Inline, so
    // that deciding needs no libcurl.
    static bool IsUrl(const std::string& name) {
        return strncasecmp(name.c_str(), "http://", 7) == 0 ||
               strncasecmp(name.c_str(), "https://", 8) == 0;
    }

    const std::string& Name() const override { return m_url; }
    uint64_t Size() const override { return m_size; }
    PackageError Read(uint64_t offset, uint64_t size, const Sink& sink) override;
    // Reads URL + "." + kind (CPackageAttachment::Beside), at most maxSize bytes.
    PackageError ReadAttachment(const std::string& kind, uint64_t maxSize,
                                std::string& data) override;
    // Why the last read failed; of an attachment, with its URL.
    const std::string& Problem() const override { return m_problem; }

    const Counters& GetCounters() const { return m_counters; }
    void SetFetched(Fetched fetched) { m_fetched = std::move(fetched); }

  private:
    struct Transfer;
    struct File;

    PackageError Fetch(const std::string& url, File& file, uint64_t offset, uint64_t size,
                       const Sink& sink);
    PackageError Attempt(const std::string& url, File& file, Transfer& transfer);
    void Prepare(const std::string& url, const File& file, const Transfer& transfer);
    PackageError Judge(File& file, Transfer& transfer);
    PackageError Ended(const std::string& url, File& file, Transfer& transfer, int code);
    PackageError Fail(PackageError error, const std::string& url, const std::string& reason);

    static size_t OnHeader(char* data, size_t size, size_t count, void* transfer);
    static size_t OnBody(char* data, size_t size, size_t count, void* transfer);

    std::string m_url;
    Options m_options;
    void* m_curl = nullptr;
    bool m_performing = false;  // a transfer is under way on m_curl
    std::unique_ptr<File> m_file;  // what the first answer told of the package
    uint64_t m_size = 0;
    Counters m_counters;
    Fetched m_fetched;
    std::string m_problem;
    char m_curlError[256] = {};  // libcurl's message of the last transfer
};
