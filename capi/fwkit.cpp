// The C API over CPackageStream: a handle holds one checker and the texts it
// hands out. No exception leaves an entry point: each runs its work through
// Guarded, which turns any into FWKIT_E_MEMORY (all the library throws is
// std::bad_alloc and std::system_error, for memory and threads).
#include "fwkit.h"

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "CChunkIndex.h"
#include "CEd25519Key.h"
#include "CPackageCheck.h"
#include "CPackageStream.h"
#include "Output.h"
#include "PackageError.h"
#include "PackageReport.h"

struct fwkit_check {
    CPackageStream stream;
    fwkit_sink sink = nullptr;
    void* user = nullptr;
    uint64_t done = 0;
    uint64_t total = 0;
    bool fed = false;       // bytes were fed since the last reset
    bool decided = false;   // the verdict is known
    bool finished = false;  // finish or abandon was called
    bool busy = false;      // inside the stream (the sink may call back)
    bool freed = false;     // freed from inside the sink: deleted once the stream returns
    int verdict = FWKIT_OK;
    std::string message;
    std::string json;
    std::string outputPath;                      // where the image is written, or empty
    std::vector<struct stat> inputs;             // files the output may never be
    std::unique_ptr<Core::File::Output> output;  // open while a package is fed
    std::string outputProblem;                   // why the output failed
    std::map<std::string, std::string> attachments;  // kind → the bytes the caller gave
};

namespace {

template <typename Work>
int Guarded(Work work) noexcept {
    try {
        return work();
    } catch (...) {
        return FWKIT_E_MEMORY;
    }
}

// Runs work inside the stream; a sink that calls back into its own handle
// from there is refused, and one that frees it has it deleted here, once the
// stream no longer uses it.
template <typename Work>
int Inside(fwkit_check* check, Work work) noexcept {
    if (check->busy)
        return FWKIT_E_ORDER;
    check->busy = true;
    const int result = Guarded(work);
    check->busy = false;
    if (check->freed)
        delete check;
    return result;
}

// A setting may change only while no package is being fed.
template <typename Work>
int Setting(fwkit_check* check, Work work) {
    if (check == nullptr)
        return FWKIT_E_ARGUMENT;
    if (check->fed || check->busy)
        return FWKIT_E_ORDER;
    return Guarded([&] {
        work(check->stream.Trust());
        return FWKIT_OK;
    });
}

void Connect(fwkit_check* check);

// Records the verdict once the stream's error is final; the output is put in
// place when the package passed, and discarded otherwise.
int Decide(fwkit_check* check, PackageError error) {
    if (check->output != nullptr &&
        CPackageCheck::Conclude(*check->output, error) == PackageError::WriteFailed) {
        check->outputProblem = check->output->Cause();
        error = PackageError::WriteFailed;
    }
    check->output.reset();
    Connect(check);
    check->decided = true;
    check->verdict = PackageErrorStatus(error);
    return check->verdict;
}

// Ends the package once: `end` gives the stream's final error.
template <typename Work>
int End(fwkit_check* check, Work end) {
    if (check == nullptr)
        return FWKIT_E_ARGUMENT;
    if (check->busy)
        return FWKIT_E_ORDER;
    check->fed = true;
    check->finished = true;
    if (check->decided)
        return check->verdict;
    return Inside(check, [&] { return Decide(check, end()); });
}

// Hands the stream's start and image to the caller's sink, after the output
// when there is one. Any refusal, the first call's included, stops the check;
// so does freeing the handle.
void Connect(fwkit_check* check) {
    CPackageStream::ImageSink sink;
    CPackageStream::Start start;
    if (check->sink != nullptr) {
        start = [check](uint64_t total) {
            check->total = total;
            return check->sink(check->user, nullptr, 0, 0, total) == 0 && !check->freed;
        };
        sink = [check](const uint8_t* data, size_t size) {
            check->done += size;
            return check->sink(check->user, data, size, check->done, check->total) == 0 &&
                   !check->freed;
        };
    }
    if (check->output != nullptr) {
        CPackageCheck::WriteInto(check->stream, *check->output, sink, start);
        return;
    }
    check->stream.SetImageSink(sink);
    check->stream.SetStart(start);
}

// Opens the output before the first byte of a package; false, with the
// verdict decided, when it cannot be opened.
bool OpenOutput(fwkit_check* check) {
    if (check->outputPath.empty())
        return true;
    check->output = std::make_unique<Core::File::Output>(check->outputPath);
    for (const struct stat& input : check->inputs)
        check->output->Protect(input, "the input");
    const bool opened = check->output->Open();
    if (!opened) {
        check->outputProblem = check->output->Cause();
        check->output.reset();
        check->stream.Abandon(PackageError::WriteFailed);
        Decide(check, PackageError::WriteFailed);
    }
    Connect(check);
    return opened;
}

// The attachment kinds a caller may hand in, and the most bytes of each.
uint64_t AttachmentLimit(const std::string& kind) {
    return kind == CChunkIndex::kKind ? CPackageAttachment::kMaxIndexSize : 0;
}

// The stream fetches what the header names from what the caller gave; a kind
// the header names and the caller did not give fails as one that does not match.
void ServeAttachments(fwkit_check* check) {
    check->stream.SetAttachments([check](const std::string& kind, uint64_t maxSize,
                                         std::string& data, std::string& problem) {
        const auto given = check->attachments.find(kind);
        if (given == check->attachments.end()) {
            problem = kind + ": none given";
            return PackageError::AttachmentMismatch;
        }
        data = given->second.substr(0, static_cast<size_t>(maxSize + 1));
        return PackageError::Ok;
    });
}

}  // namespace

extern "C" {

const char* fwkit_version(void) {
    return FWKIT_VERSION;
}

const char* fwkit_strerror(int result) {
    switch (result) {
        case FWKIT_OK:
            return PackageErrorText(PackageError::Ok);
        case FWKIT_FAILED:
            return "the image could not be handed on, or the package could not be read";
        case FWKIT_NOT_A_PACKAGE:
            return PackageErrorText(PackageError::NotAPackage);
        case FWKIT_IMAGE_MISMATCH:
            return PackageErrorText(PackageError::ImageMismatch);
        case FWKIT_BAD_SIGNATURE:
            return PackageErrorText(PackageError::BadSignature);
        case FWKIT_UNSIGNED:
            return PackageErrorText(PackageError::Unsigned);
        case FWKIT_REFUSED:
            return PackageErrorText(PackageError::RefusedByPolicy);
        case FWKIT_BASE_MISMATCH:
            return PackageErrorText(PackageError::BaseMismatch);
        case FWKIT_E_ARGUMENT:
            return "invalid argument";
        case FWKIT_E_ORDER:
            return "call out of order";
        case FWKIT_E_MEMORY:
            return "out of memory";
        default:
            return "unknown result";
    }
}

fwkit_check* fwkit_check_new(void) {
    return new (std::nothrow) fwkit_check();
}

void fwkit_check_free(fwkit_check* check) {
    if (check != nullptr && check->busy)
        check->freed = true;
    else
        delete check;
}

int fwkit_check_add_key_pem(fwkit_check* check, const char* pem, size_t size) {
    if (check == nullptr || pem == nullptr)
        return FWKIT_E_ARGUMENT;
    return Guarded([&]() -> int {
        const CEd25519Key key = CEd25519Key::FromPem(std::string(pem, size));
        if (!key.Valid() || key.IsPrivate())
            return FWKIT_E_ARGUMENT;
        return Setting(check, [&](CPackageTrust& trust) { trust.AddKey(key); });
    });
}

int fwkit_check_set_threshold(fwkit_check* check, unsigned threshold) {
    if (check == nullptr || threshold == 0 || threshold > check->stream.Trust().KeyCount())
        return FWKIT_E_ARGUMENT;
    return Setting(check, [&](CPackageTrust& trust) { trust.SetThreshold(threshold); });
}

int fwkit_check_set_min_version(fwkit_check* check, uint32_t packed) {
    return Setting(check, [&](CPackageTrust& trust) { trust.SetMinimumVersion(packed); });
}

int fwkit_check_set_compatible(fwkit_check* check, const char* name) {
    if (name == nullptr || !CPackageTrust::NamesSomething(name))
        return FWKIT_E_ARGUMENT;
    return Setting(check, [&](CPackageTrust& trust) { trust.SetCompatible(name); });
}

int fwkit_check_set_time(fwkit_check* check, int64_t seconds) {
    return Setting(check, [&](CPackageTrust& trust) { trust.SetTime(seconds); });
}

int fwkit_check_set_sink(fwkit_check* check, fwkit_sink sink, void* user) {
    return Setting(check, [&](CPackageTrust&) {
        check->sink = sink;
        check->user = user;
        Connect(check);
    });
}

int fwkit_check_set_base(fwkit_check* check, const void* data, size_t size) {
    if (data == nullptr && size > 0)
        return FWKIT_E_ARGUMENT;
    return Setting(check, [&](CPackageTrust&) {
        check->stream.SetBase(static_cast<const uint8_t*>(data), size);
    });
}

int fwkit_check_add_attachment(fwkit_check* check, const char* kind, const void* data,
                               size_t size) {
    if (kind == nullptr || (data == nullptr && size > 0) || size > AttachmentLimit(kind) ||
        AttachmentLimit(kind) == 0)
        return FWKIT_E_ARGUMENT;
    return Setting(check, [&](CPackageTrust&) {
        check->attachments[kind].assign(static_cast<const char*>(data), size);
        ServeAttachments(check);
    });
}

int fwkit_check_feed(fwkit_check* check, const void* data, size_t size) {
    if (check == nullptr || (data == nullptr && size > 0))
        return FWKIT_E_ARGUMENT;
    if (check->finished || check->busy)
        return FWKIT_E_ORDER;
    if (check->decided)
        return check->verdict;
    return Inside(check, [&] {
        if (!check->fed && !OpenOutput(check)) {
            check->fed = true;
            return check->verdict;
        }
        check->fed = true;
        const PackageError error = check->stream.Feed(data, size);
        return error == PackageError::Ok ? FWKIT_OK : Decide(check, error);
    });
}

int fwkit_check_finish(fwkit_check* check) {
    return End(check, [check] { return check->stream.Finish().error; });
}

int fwkit_check_abandon(fwkit_check* check) {
    return End(check, [check] { return check->stream.Abandon(PackageError::ReadFailed).error; });
}

int fwkit_check_status(const fwkit_check* check) {
    if (check == nullptr)
        return FWKIT_E_ARGUMENT;
    return check->decided && !check->busy ? check->verdict : FWKIT_E_ORDER;
}

const char* fwkit_check_message(fwkit_check* check) {
    if (check == nullptr)
        return fwkit_strerror(FWKIT_E_ARGUMENT);
    if (check->busy)
        return fwkit_strerror(FWKIT_E_ORDER);
    if (!check->decided)
        return check->fed ? "the package is being checked" : "no package has been fed";
    const CPackageStream::Result& result = check->stream.GetResult();
    if (Guarded([&] {
            const bool output = !check->outputProblem.empty();
            const std::string& problem = output ? check->outputProblem : result.problem;
            check->message = PackageErrorText(output ? PackageError::WriteFailed : result.error);
            if (!problem.empty())
                check->message += ": " + problem;
            return FWKIT_OK;
        }) != FWKIT_OK)
        return fwkit_strerror(FWKIT_E_MEMORY);
    return check->message.c_str();
}

const char* fwkit_check_json(fwkit_check* check, const char* name) {
    if (check == nullptr || !check->decided || check->busy)
        return nullptr;
    const int built = Guarded([&] {
        check->json = PackageReportJson(name != nullptr ? name : "-", check->stream.GetResult());
        return FWKIT_OK;
    });
    return built == FWKIT_OK ? check->json.c_str() : nullptr;
}

int fwkit_check_reset(fwkit_check* check) {
    if (check == nullptr)
        return FWKIT_E_ARGUMENT;
    if (check->busy)
        return FWKIT_E_ORDER;
    check->stream.Reset();
    check->output.reset();
    check->outputProblem.clear();
    check->attachments.clear();
    check->stream.SetAttachments(nullptr);
    Connect(check);
    check->fed = false;
    check->decided = false;
    check->finished = false;
    check->verdict = FWKIT_OK;
    check->done = 0;
    check->total = 0;
    return FWKIT_OK;
}

int fwkit_check_set_output(fwkit_check* check, const char* path) {
    return Setting(check, [&](CPackageTrust&) { check->outputPath = path != nullptr ? path : ""; });
}

int fwkit_check_protect(fwkit_check* check, const char* path) {
    if (path == nullptr)
        return FWKIT_E_ARGUMENT;
    struct stat st {};
    const bool exists = stat(path, &st) == 0;
    return Setting(check, [&](CPackageTrust&) {
        if (exists)
            check->inputs.push_back(st);
    });
}

}  // extern "C"
