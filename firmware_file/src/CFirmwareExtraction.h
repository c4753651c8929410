// Writes the data of the physical fragments of one firmware file, or of those whose
// names begin with a given text, each into a file named after the fragment below one
// directory. Each body is checked as it is copied, so a large file is read once; a
// fragment file is put in place only when its body passed, and the files made are on
// the disk when the extraction ends. What the extraction has
// to say (what failed, what was not extracted) goes, line by line, to a sink the
// caller gives: the library prints nothing itself.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class CFirmwareFile;

class CFirmwareExtraction {
  public:
    // Takes one line, without its line end.
    using Sink = std::function<void(const std::string&)>;

    // Extracts below the open directory `dirfd`; `shownDir` is put before a fragment's
    // name in messages (empty, or ending in "/").
    CFirmwareExtraction(int dirfd, std::string shownDir, Sink say);

    // Extracts only the fragments whose names begin with `prefix`, compared without
    // regard to case (all of them when it is empty).
    void Select(std::string prefix) { m_name = std::move(prefix); }
    // Extracts the selected fragments of the firmware file `in`, which is never written
    // over. Returns 0 when every selected fragment was extracted from an intact file,
    // 1 otherwise (something was said then).
    int Run(const std::string& in);

    // Says through `say` what the parse of `in` found wrong: each failed check and,
    // when no fragment passed, that none is valid. Returns 1 when anything failed.
    static int SayFailures(CFirmwareFile& fw, const std::string& in, const Sink& say);

    // The fragment files Run made, by name, with their data sizes, in file order.
    const std::vector<std::pair<std::string, uint64_t>>& Made() const { return m_made; }

  private:
    enum class Outcome { Extracted, NotExtracted, BodyFailed };

    bool Selected(CFirmwareFile& fw, unsigned int i) const;
    Outcome Refuse(std::string line);
    void Flush();
    Outcome Extract(CFirmwareFile& fw, unsigned int i);
    unsigned int ExtractFrom(CFirmwareFile& fw, unsigned int first);
    int Matched(CFirmwareFile& fw, const std::string& in, int status);
    int ParseAndExtract(const std::string& in, unsigned int first);
    int ExtractFile(const std::string& in);
    int Synced(int status);

    std::string m_name;
    int m_dirfd;
    std::string m_prefix;
    Sink m_say;
    struct stat m_input {};
    // True when the parse checked every body; otherwise each body is checked as it is
    // copied, or read when its fragment is not extracted.
    bool m_bodiesChecked = false;
    std::vector<std::string> m_lines;  // said, and not yet passed to the sink
    bool m_failed = false;             // a fragment was not extracted
    bool m_extracted = false;          // a fragment file was made, not yet synced
    std::vector<std::pair<std::string, uint64_t>> m_made;
};
