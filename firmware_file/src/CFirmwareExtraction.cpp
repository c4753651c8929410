#include "CFirmwareExtraction.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "CFirmwareFile.h"
#include "CFirmwareReport.h"
#include "FilePath.h"
#include "Output.h"
#include "Text.h"

CFirmwareExtraction::CFirmwareExtraction(int dirfd, std::string shownDir, Sink say)
    : m_dirfd(dirfd), m_prefix(std::move(shownDir)), m_say(std::move(say)) {}

bool CFirmwareExtraction::Selected(CFirmwareFile& fw, unsigned int i) const {
    return strncasecmp(m_name.c_str(), fw.GetFragmentName(i).c_str(), m_name.size()) == 0;
}

CFirmwareExtraction::Outcome CFirmwareExtraction::Refuse(std::string line) {
    m_lines.push_back(std::move(line));
    return Outcome::NotExtracted;
}

void CFirmwareExtraction::Flush() {
    for (const std::string& line : m_lines)
        m_say(line);
    m_lines.clear();
}

// Writes fragment `i` of `fw` into the file of its name below the directory. Refused
// when the file there is the firmware file (a link there is not followed: extraction
// replaces it), and before anything is written when no file can be made beside an
// existing one. New files are synced together once every fragment is written. A body
// that fails its check as it is copied is BodyFailed, unless the firmware file was
// written to meanwhile; a stream takes bytes as they come, so a body bound for one is
// checked before it is sent.
CFirmwareExtraction::Outcome CFirmwareExtraction::Extract(CFirmwareFile& fw, unsigned int i) {
    const std::string fragment = fw.GetFragmentName(i);
    const auto notExtracted = [&](const std::string& why) {
        return Refuse("Fragment " + Core::Text::Escaped(fragment) + " not extracted: " + why);
    };
    const auto path = [&] { return Core::Text::Escaped(m_prefix + fragment); };
    if (const char* reason = Core::File::UnsafeNameReason(fragment))
        return notExtracted(reason);
    Core::File::Output output(m_dirfd, fragment);
    output.Protect(m_input, "the firmware file being read");
    output.DeferSync();
    const bool opened = output.Open() && output.Expect(fw.GetFragment(i)->GetRawDataSize());
    if (opened && !m_bodiesChecked && !output.Seekable() && !fw.BodyIntact(i))
        return Outcome::BodyFailed;
    if (opened)
        fw.DumpRawFragment(i, output);
    if (!output.Clash().empty())
        return notExtracted(path() + " is " + output.Clash());
    if (!opened && !output.Refusal().empty())
        return notExtracted(Core::Text::Escaped(output.Refusal()));
    if (opened && fw.DataChanged()) {
        if (!m_bodiesChecked && !fw.InputModified())
            return Outcome::BodyFailed;
        return notExtracted("its data changed while it was read");
    }
    if (opened && fw.WriteComplete()) {
        m_extracted = true;
        m_made.emplace_back(fragment, fw.GetFragment(i)->GetRawDataSize());
        return Outcome::Extracted;
    }
    if (output.Error() != 0)
        return Refuse("Unable to write fragment file " + path() + ": " + output.Cause());
    return Refuse("Unable to write fragment file " + path());
}

// Extracts the selected fragments of `fw` from `first` on. Returns the index of the
// first whose body failed its check, or the number of fragments.
unsigned int CFirmwareExtraction::ExtractFrom(CFirmwareFile& fw, unsigned int first) {
    for (unsigned int i = first; i < fw.NoFragments(); ++i) {
        Outcome outcome = Outcome::Extracted;
        if (Selected(fw, i))
            outcome = Extract(fw, i);
        else if (!m_bodiesChecked && !fw.BodyIntact(i))
            outcome = Outcome::BodyFailed;
        if (outcome == Outcome::BodyFailed)
            return i;
        m_failed = m_failed || outcome == Outcome::NotExtracted;
        if (m_bodiesChecked)
            Flush();
    }
    return fw.NoFragments();
}

int CFirmwareExtraction::SayFailures(CFirmwareFile& fw, const std::string& in, const Sink& say) {
    if (fw.ParseComplete())
        return 0;
    const CFirmwareReport report(fw, in, Core::File::FileSize(in));
    for (const std::string& line : report.FailureLines())
        say(line);
    if (fw.NoFragments() == 0)
        say("No valid fragment in firmware file " + in);
    return 1;
}

// Returns the exit status after saying so when no fragment of `fw` is selected.
int CFirmwareExtraction::Matched(CFirmwareFile& fw, const std::string& in, int status) {
    for (unsigned int i = 0; i < fw.NoFragments(); ++i) {
        if (Selected(fw, i))
            return status;
    }
    m_say("No fragment of firmware file " + in + " matches " + m_name);
    return 1;
}

// Parses `in` with every check, saying what fails, and extracts its selected
// fragments from `first` on. Returns the exit status.
int CFirmwareExtraction::ParseAndExtract(const std::string& in, unsigned int first) {
    m_bodiesChecked = true;
    CFirmwareFile fw(in, CFirmwareFile::Messages::KeepOnly);
    for (const std::string& message : fw.GetMessages())
        m_say(message);
    const int status = SayFailures(fw, in, m_say);
    Flush();
    if (fw.NoFragments() == 0)
        return status != 0 || m_failed ? 1 : 0;
    ExtractFrom(fw, first);
    return Matched(fw, in, status != 0 || m_failed ? 1 : 0);
}

// The first parse leaves the bodies to the copies that extract them (and reads those it
// does not), so each byte of the file is read once, and what the extraction says waits
// until every body has passed. When one fails the file is damaged, or was changed
// meanwhile: it is parsed again with every check, which says what is wrong before
// anything else is said, and extraction goes on after the fragments already extracted.
int CFirmwareExtraction::Run(const std::string& in) {
    return Synced(ExtractFile(in));
}

// Returns the exit status once the fragment files extracted are on the disk: the file
// system below the directory is synced once for all of them, which costs what one
// file's sync would.
int CFirmwareExtraction::Synced(int status) {
    if (!m_extracted || Core::File::Output::SyncFileSystem(m_dirfd))
        return status;
    m_say("Unable to write fragment files in " + m_prefix + ": " + std::strerror(errno));
    return 1;
}

int CFirmwareExtraction::ExtractFile(const std::string& in) {
    stat(in.c_str(), &m_input);
    unsigned int done = 0;
    {
        CFirmwareFile fw(in, CFirmwareFile::Messages::KeepOnly, CFirmwareFile::Bodies::Unchecked);
        if (fw.ParseComplete() && fw.NoFragments() > 0) {
            done = ExtractFrom(fw, 0);
            if (done == fw.NoFragments()) {
                Flush();
                return Matched(fw, in, m_failed ? 1 : 0);
            }
        }
    }
    return ParseAndExtract(in, done);
}
