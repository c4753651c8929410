#include "CHttpSource.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "CPackageAttachment.h"

namespace {

// The longest pause between two tries.
constexpr unsigned kMaxBackoff = 30000;
// What libcurl receives at a time, and so what a read holds at most. Over
// loopback, 64 KiB to 4 MiB differed little in time; from 1 MiB on, the
// install's peak of resident memory passed 16 MiB.
constexpr long kReceiveBuffer = 512 * 1024;
constexpr uint64_t kToTheEnd = UINT64_MAX;

static_assert(CURL_ERROR_SIZE <= 256, "libcurl's message fits the source's buffer");

CURL* Handle(void* curl) { return static_cast<CURL*>(curl); }

// A header's value when `line` is that header ("Name: value"), names compared
// without regard to case; false otherwise.
bool HeaderValue(const std::string& line, const char* name, std::string& value) {
    const size_t length = std::strlen(name);
    if (line.size() <= length || line[length] != ':' || strncasecmp(line.c_str(), name, length))
        return false;
    const size_t start = line.find_first_not_of(" \t", length + 1);
    const size_t end = line.find_last_not_of(" \t\r\n");
    value = start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
    return true;
}

bool Number(const std::string& text, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

// A strong ETag, the only kind If-Range may carry.
bool Strong(const std::string& etag) { return !etag.empty() && etag.compare(0, 2, "W/") != 0; }

// Answers that a later try may find otherwise: time-outs, throttling, server errors.
bool Transient(long status) { return status == 408 || status == 429 || status >= 500; }

// Failures of libcurl that no try again can mend.
bool Final(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_LOGIN_DENIED:
        case CURLE_REMOTE_ACCESS_DENIED:
            return true;
        default:
            return false;
    }
}

}  // namespace

// What the first answer told of the file read: later answers must tell the same.
struct CHttpSource::File {
    bool known = false;
    bool sized = false;
    uint64_t size = 0;
    std::string etag;
    std::string modified;  // Last-Modified
};

// One request and its answer.
struct CHttpSource::Transfer {
    CHttpSource* source = nullptr;
    File* file = nullptr;
    const Sink* sink = nullptr;
    uint64_t offset = 0;  // the first byte asked for
    uint64_t want = 0;    // bytes to hand on, or kToTheEnd
    // The answer's status line and headers (those after the last status line).
    long status = 0;
    std::string etag;
    std::string modified;
    bool ranged = false;  // Content-Range: bytes first-last/total
    uint64_t first = 0;
    uint64_t last = 0;
    bool totalKnown = false;
    uint64_t total = 0;
    bool lengthKnown = false;
    uint64_t length = 0;
    // The body.
    bool judged = false;
    PackageError verdict = PackageError::Ok;  // a final refusal of the answer
    bool retry = false;                       // an answer to try again
    std::string reason;                       // why, for either
    uint64_t skip = 0;                        // bytes before the offset (Range ignored)
    uint64_t handed = 0;
    bool done = false;
    bool refused = false;  // the sink said no
};

CHttpSource::CHttpSource(std::string url, Options options)
    : m_url(std::move(url)), m_options(std::move(options)), m_file(new File) {
    CURL* curl = curl_easy_init();
    m_curl = curl;
    if (curl == nullptr)
        return;
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "fwkit");
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_options.connectTimeout);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, m_options.lowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_options.lowSpeedTime);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CHttpSource::OnHeader);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CHttpSource::OnBody);
    if (!m_options.caCert.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, m_options.caCert.c_str());
    if (!m_options.caPath.empty())
        curl_easy_setopt(curl, CURLOPT_CAPATH, m_options.caPath.c_str());
    if (!m_options.cert.empty())
        curl_easy_setopt(curl, CURLOPT_SSLCERT, m_options.cert.c_str());
    if (!m_options.key.empty())
        curl_easy_setopt(curl, CURLOPT_SSLKEY, m_options.key.c_str());
}

CHttpSource::~CHttpSource() { curl_easy_cleanup(Handle(m_curl)); }

PackageError CHttpSource::Fail(PackageError error, const std::string& url,
                               const std::string& reason) {
    // The package's own messages name it already; an attachment's names its URL.
    m_problem = url == m_url ? reason : url + ": " + reason;
    return error;
}

PackageError CHttpSource::Read(uint64_t offset, uint64_t size, const Sink& sink) {
    return Fetch(m_url, *m_file, offset, size, sink);
}

PackageError CHttpSource::ReadAttachment(const std::string& kind, uint64_t maxSize,
                                         std::string& data) {
    File file;
    data.clear();
    const PackageError error =
        Fetch(CPackageAttachment::Beside(m_url, kind), file, 0, maxSize,
              [&data, &file, maxSize](const uint8_t* bytes, size_t count) {
                  // Held once at its full length, not grown by doubling.
                  if (data.empty() && file.sized)
                      data.reserve(static_cast<size_t>(std::min(file.size, maxSize)));
                  data.append(reinterpret_cast<const char*>(bytes), count);
                  return true;
              });
    // An attachment shorter than the most asked for is read whole.
    return error == PackageError::CutShort ? PackageError::Ok : error;
}

PackageError CHttpSource::Fetch(const std::string& url, File& file, uint64_t offset,
                                uint64_t size, const Sink& sink) {
    if (m_curl == nullptr)
        return Fail(PackageError::OpenFailed, url, "libcurl cannot be started");
    if (size == 0)
        return PackageError::Ok;
    if (file.sized && offset >= file.size)
        return Fail(PackageError::CutShort, url, "ends at byte " + std::to_string(file.size));
    uint64_t want = offset > kToTheEnd - size ? kToTheEnd - offset : size;
    for (unsigned tried = 0;; ++tried) {
        Transfer transfer;
        transfer.sink = &sink;
        transfer.offset = offset;
        transfer.want = want;
        const PackageError error = Attempt(url, file, transfer);
        offset += transfer.handed;
        want -= transfer.handed;
        if (!transfer.retry)
            return error;
        // The bound is the whole source's: a link that keeps failing ends the
        // install, however its failures spread over the reads.
        if (m_counters.retries >= m_options.retries)
            return Fail(file.known ? PackageError::ReadFailed : PackageError::OpenFailed, url,
                        transfer.reason + " (" + std::to_string(m_counters.retries) +
                            (m_counters.retries == 1 ? " retry" : " retries") + " in all)");
        const unsigned pause =
            std::min<uint64_t>(kMaxBackoff, static_cast<uint64_t>(m_options.backoff) << std::min(tried, 16u));
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        ++m_counters.retries;
    }
}

void CHttpSource::Prepare(const std::string& url, const File& file, const Transfer& transfer) {
    CURL* curl = Handle(m_curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    std::string range = std::to_string(transfer.offset) + "-";
    uint64_t end = transfer.want == kToTheEnd ? kToTheEnd : transfer.offset + transfer.want;
    if (file.sized)
        end = std::min(end, file.size);
    if (end != kToTheEnd)
        range += std::to_string(end - 1);
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_curlError);
    m_curlError[0] = '\0';
}

PackageError CHttpSource::Attempt(const std::string& url, File& file, Transfer& transfer) {
    // A request made while another is under way (an attachment the checker
    // asks for from inside a read's sink) takes a handle of its own, as
    // libcurl's easy handle serves one transfer at a time.
    struct Nested {
        CHttpSource& source;
        void* outer;
        CURL* own;
        ~Nested() {
            if (own != nullptr) {
                curl_easy_cleanup(own);
                source.m_curl = outer;
            }
            source.m_performing = own != nullptr;  // the outer transfer goes on
        }
    } nested{*this, m_curl, m_performing ? curl_easy_duphandle(Handle(m_curl)) : nullptr};
    if (m_performing && nested.own == nullptr)
        return Fail(PackageError::OpenFailed, url, "libcurl cannot be started");
    if (nested.own != nullptr)
        m_curl = nested.own;
    m_performing = true;
    transfer.source = this;
    transfer.file = &file;
    Prepare(url, file, transfer);
    // The file read so far, named by its ETag (or date): another is sent whole.
    curl_slist* headers = nullptr;
    const std::string& validator = Strong(file.etag) ? file.etag : file.modified;
    if (file.known && !validator.empty())
        headers = curl_slist_append(headers, ("If-Range: " + validator).c_str());
    curl_easy_setopt(Handle(m_curl), CURLOPT_HTTPHEADER, headers);
    ++m_counters.requests;
    const CURLcode code = curl_easy_perform(Handle(m_curl));
    curl_easy_setopt(Handle(m_curl), CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (!transfer.judged && code == CURLE_OK) {
        transfer.judged = true;
        Judge(file, transfer);
    }
    return Ended(url, file, transfer, code);
}

PackageError CHttpSource::Judge(File& file, Transfer& transfer) {
    const long status = transfer.status;
    if (status == 404 || status == 410) {
        transfer.verdict = PackageError::OpenFailed;
        transfer.reason = "not on the server (" + std::to_string(status) + ")";
    } else if (status == 416 && !file.known) {
        // Nothing read of it yet: the server has no such byte, an empty file.
        transfer.verdict = PackageError::OpenFailed;
        transfer.reason = "the server has no byte " + std::to_string(transfer.offset) +
                          " of it (416)";
    } else if (status == 416) {
        transfer.verdict = PackageError::CutShort;
        transfer.reason = "ends before byte " + std::to_string(transfer.offset) + " (416)";
    } else if (Transient(status)) {
        transfer.retry = true;
        transfer.reason = "the server answered " + std::to_string(status);
    } else if (status != 200 && status != 206) {
        transfer.verdict = file.known ? PackageError::ReadFailed : PackageError::OpenFailed;
        transfer.reason = "the server answered " + std::to_string(status);
    } else if (status == 206 && (!transfer.ranged || transfer.first != transfer.offset)) {
        transfer.verdict = PackageError::ReadFailed;
        transfer.reason = "the server answered another range than the one asked for";
    }
    if (transfer.verdict != PackageError::Ok || transfer.retry)
        return transfer.verdict;
    const bool sized = status == 206 ? transfer.totalKnown : transfer.lengthKnown;
    const uint64_t size = status == 206 ? transfer.total : transfer.length;
    std::string reason;
    if (file.known && transfer.etag != file.etag)
        reason = "ETag " + file.etag + ", then " + transfer.etag;
    else if (file.known && !transfer.modified.empty() && !file.modified.empty() &&
             transfer.modified != file.modified)
        reason = "Last-Modified " + file.modified + ", then " + transfer.modified;
    else if (file.known && sized && file.sized && size != file.size)
        reason = "size " + std::to_string(file.size) + ", then " + std::to_string(size);
    if (!reason.empty()) {
        transfer.verdict = PackageError::Changed;
        transfer.reason = "changed on the server during the download (" + reason + ")";
        return transfer.verdict;
    }
    if (!file.known) {
        file.known = true;
        file.sized = sized;
        file.size = size;
        file.etag = transfer.etag;
        file.modified = transfer.modified;
        if (&file == m_file.get())
            m_size = sized ? size : 0;
    }
    // A whole file where a range was asked for: read from its start.
    transfer.skip = status == 200 ? transfer.offset : 0;
    return PackageError::Ok;
}

PackageError CHttpSource::Ended(const std::string& url, File& file, Transfer& transfer,
                                int result) {
    const CURLcode code = static_cast<CURLcode>(result);
    if (transfer.refused)
        return Fail(PackageError::WriteFailed, url, "the bytes read were refused");
    if (transfer.verdict != PackageError::Ok)
        return Fail(transfer.verdict, url, transfer.reason);
    if (transfer.done || transfer.retry)
        return PackageError::Ok;
    if (code == CURLE_OK) {
        if (file.sized && transfer.offset + transfer.handed >= file.size)
            return Fail(PackageError::CutShort, url, "ends at byte " + std::to_string(file.size));
        if (!file.sized && transfer.want == kToTheEnd)
            return PackageError::Ok;
        transfer.retry = true;
        transfer.reason = "the answer ended early";
        return PackageError::Ok;
    }
    const std::string reason = m_curlError[0] != '\0' ? m_curlError : curl_easy_strerror(code);
    if (Final(code))
        return Fail(file.known ? PackageError::ReadFailed : PackageError::OpenFailed, url, reason);
    transfer.retry = true;
    transfer.reason = reason;
    return PackageError::Ok;
}

size_t CHttpSource::OnHeader(char* data, size_t size, size_t count, void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    const std::string line(data, size * count);
    std::string value;
    if (line.compare(0, 5, "HTTP/") == 0) {
        // Each answer (a redirect's, the last) starts anew.
        const Transfer kept = transfer;
        transfer = Transfer();
        transfer.source = kept.source;
        transfer.file = kept.file;
        transfer.sink = kept.sink;
        transfer.offset = kept.offset;
        transfer.want = kept.want;
        const size_t space = line.find(' ');
        transfer.status = space == std::string::npos ? 0 : std::atol(line.c_str() + space + 1);
    } else if (HeaderValue(line, "ETag", value)) {
        transfer.etag = value;
    } else if (HeaderValue(line, "Last-Modified", value)) {
        transfer.modified = value;
    } else if (HeaderValue(line, "Content-Length", value)) {
        transfer.lengthKnown = Number(value, transfer.length);
    } else if (HeaderValue(line, "Content-Range", value) && value.compare(0, 6, "bytes ") == 0) {
        const size_t dash = value.find('-');
        const size_t slash = value.find('/');
        transfer.ranged = dash != std::string::npos && slash != std::string::npos &&
                          dash < slash && Number(value.substr(6, dash - 6), transfer.first) &&
                          Number(value.substr(dash + 1, slash - dash - 1), transfer.last);
        transfer.totalKnown = slash != std::string::npos && Number(value.substr(slash + 1),
                                                                   transfer.total);
    }
    return size * count;
}

size_t CHttpSource::OnBody(char* data, size_t size, size_t count, void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    CHttpSource& source = *transfer.source;
    if (!transfer.judged) {
        transfer.judged = true;
        source.Judge(*transfer.file, transfer);
    }
    const size_t received = size * count;
    // Returning less than received stops the transfer: an answer refused, all handed on.
    if (transfer.verdict != PackageError::Ok || transfer.retry || transfer.done)
        return 0;
    source.m_counters.fetched += received;
    if (source.m_fetched)
        source.m_fetched(source.m_counters.fetched);
    size_t skipped = static_cast<size_t>(std::min<uint64_t>(transfer.skip, received));
    transfer.skip -= skipped;
    const size_t give = static_cast<size_t>(
        std::min<uint64_t>(received - skipped, transfer.want - transfer.handed));
    if (give > 0 && !(*transfer.sink)(reinterpret_cast<const uint8_t*>(data) + skipped, give)) {
        transfer.refused = true;
        return 0;
    }
    transfer.handed += give;
    transfer.done = transfer.handed == transfer.want;
    return transfer.done && skipped + give < received ? 0 : received;
}
