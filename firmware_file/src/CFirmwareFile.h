// A whole firmware file: parsed from disk, or built from a data file
// (physical) or from parsed firmware files (logical). All work happens in the
// constructors; afterwards the object is read only.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CFirmwareFragment.h"
#include "CFirmwareFragmentLogical.h"
#include "CInputFile.h"
#include "Output.h"

class CBodyStream;

class CFirmwareFile {
  public:
    // Whether the parse prints its messages on standard output as they arise,
    // or only keeps them for GetMessages().
    enum class Messages { Print, KeepOnly };
    // Whether the parse checks the fragments' bodies against their CRCs, or only finds
    // them in the file and leaves their CRCs to whatever reads them next (an extraction
    // checks each body as it copies it, so a large file is read once).
    enum class Bodies { Checked, Unchecked };

    // Parses and checks the firmware file `filename`.
    explicit CFirmwareFile(std::string filename);
    CFirmwareFile(std::string filename, Messages messages, Bodies bodies = Bodies::Checked);
    // Writes a physical firmware file `out_filename` holding the data file `filename`.
    CFirmwareFile(std::string filename, std::string out_filename, uint32_t type, uint32_t release,
                  uint32_t version, std::string name, uint32_t build, uint32_t day, uint32_t month,
                  uint32_t year, Messages messages = Messages::Print);
    // Writes a logical firmware file `out_filename` over the first fragment of each of `files`.
    CFirmwareFile(std::list<CFirmwareFile*>& files, std::string out_filename, uint32_t type,
                  uint32_t release, uint32_t version, std::string name, uint32_t build,
                  uint32_t day, uint32_t month, uint32_t year, uint32_t article_no,
                  uint32_t no_objects, Messages messages = Messages::Print);
    ~CFirmwareFile();

    CFirmwareFile(const CFirmwareFile&) = delete;
    CFirmwareFile& operator=(const CFirmwareFile&) = delete;

    unsigned int NoFragments() const;
    CFirmwareFragment* GetFragment(unsigned int i);
    CFirmwareFragmentLogical* GetHeader();
    std::string GetFragmentName(unsigned int i);
    // Writes the body of physical fragment `i` to `filename`; returns the bytes written.
    uint32_t DumpRawFragment(unsigned int i, std::string filename);
    // Writes the body of physical fragment `i` into `output`, which the caller has
    // opened, and commits it: in place only when the whole body was written.
    uint32_t DumpRawFragment(unsigned int i, Core::File::Output& output);
    std::string ToString() const;
    // Writes the text of ToString to `out` item by item, without holding it whole.
    void PrintListing(std::ostream& out) const;

    // The kinds of firmware file the type of the first header tells: 300 to 399 is a
    // logical file, 206 to 209 and 400 and above a physical one, the rest neither.
    static bool IsLogicalType(uint32_t type);
    static bool IsPhysicalType(uint32_t type);

    // Says on standard output when `filename` cannot be read, is not a regular file or
    // is empty, cases the parse passes over in silence; true when there is something to
    // parse. Never waits on a FIFO or a device.
    static bool ReportUnreadable(const std::string& filename);
    // The message ReportUnreadable would print, without its line end; empty
    // when there is something to parse.
    static std::string UnreadableMessage(const std::string& filename);

    // The messages of the parse or the build, without line ends, in the order they arose.
    const std::vector<std::string>& GetMessages() const { return m_messages; }
    // The fragment whose checks failed and ended the parse; it is not among
    // the fragments. Null when none failed.
    CFirmwareFragment* GetFailedFragment() { return m_failed; }
    // When a build did not write its output: the file to blame (the data file, an
    // input, or the output) and why, in a few words; both empty otherwise.
    struct Failure {
        std::string file;
        std::string reason;
    };
    Failure BuildFailure() const;
    // The bytes the last build wrote.
    uint32_t BytesWritten() const { return m_written; }
    // When the logical data failed their CRC, so that the parse kept no fragment: walks
    // the physical headers in them all the same, each header and body checked, and shows
    // `visit` each fragment found with whether it passed, until one fails or the count
    // the logical header announces is reached. The parse result stays as it is.
    void WalkDamagedLogical(const std::function<void(const CFirmwareFragment&, bool)>& visit);
    // Gives back the descriptor of the parsed file (an input of a logical build waiting
    // for its turn); a later read reopens it and takes any other file found as changed.
    void ReleaseInput();

    // True when the parse found a firmware file whose every check held and whose
    // fragments account for everything it announced.
    bool ParseComplete() const { return m_parseComplete; }
    // True when the most recent file this object wrote (a build's output, or the
    // file of DumpRawFragment) is on disk complete.
    bool WriteComplete() const { return m_writeComplete; }
    // True when the last DumpRawFragment found the fragment's bytes in the file changed
    // since the parse checked them (or, bodies unchecked, not as their CRC says), and so
    // wrote nothing in place.
    bool DataChanged() const { return m_dataChanged; }
    // True when the body of fragment `i` is in the file as its CRC says (read now).
    bool BodyIntact(unsigned int i);
    // True when the parsed file was written to, or replaced, since it was opened.
    bool InputModified() const { return m_rawData == nullptr || m_rawData->Modified(); }
    // Why that file is not complete (an errno value); 0 when it is, or when the
    // bytes to write could not be read.
    int WriteError() const { return m_writeError; }

  private:
    void Parse(const std::string& filename);
    void Say(std::string message);
    void Decoded(CFirmwareFragment* fragment);
    void KeepFailed(CFirmwareFragment* fragment);
    bool Passes(const CFirmwareFragment& fragment) const;
    void ParseLogical(uint32_t size);
    bool WalkPhysical(CFirmwareFragmentLogical& logical, bool print, bool bodies,
                      const std::function<void(CFirmwareFragment*, bool)>& take);
    bool DataFileMeasured(CInputFile& data);
    void ReportTooLarge(const std::string& out_filename);
    void BuildFailed(const std::string& file, const std::string& reason, std::string message);
    // Streams a body into a CBodyStream, advancing the CRC; returns the input found
    // changed, or null.
    using BodyWriter = std::function<CInputFile*(CBodyStream&, uint16_t&)>;
    bool WriteFramed(CFirmwareFragment& head, const std::string& out_filename,
                     const BodyWriter& body, CInputFile* blame, uint32_t& written);
    static CInputFile* WriteLogicalBody(const std::vector<CFirmwareFragment*>& kept,
                                        const std::vector<CInputFile*>& sources,
                                        CBodyStream& stream, uint16_t& crc);
    void ReportBuild(const char* kind, const std::string& out_filename, uint32_t written);

    // One of these stays alive for every input of a logical build, so its
    // fields are packed and a build's failure is kept apart until there is one.
    std::vector<CFirmwareFragment*> m_fragments;
    std::vector<CFirmwareFragmentLogical*> m_logical_fragments;
    // The parsed firmware file or the data file, open for the object's whole life.
    CInputFile* m_rawData = nullptr;
    std::string m_name;
    CFirmwareFragment* m_failed = nullptr;
    std::vector<std::string> m_messages;
    // The input found changed while the last build read it, or null.
    CInputFile* m_changedInput = nullptr;
    std::unique_ptr<Failure> m_buildFailure;
    int m_writeError = 0;
    uint32_t m_written = 0;
    bool m_parseComplete = false;
    bool m_writeComplete = false;
    bool m_printMessages = true;
    bool m_checkBodies = true;
    bool m_dataChanged = false;
};
