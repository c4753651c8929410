// The installer on files, with no root: slots as files (kind=file) and as plain
// files standing in for partitions (kind=raw), GRUB's, U-Boot's and a script's
// environments read back by tools that are not fwkit's (grub-editenv,
// fw_printenv), and every refusal leaving the booted slot and the bootloader
// as they were.
#include <gtest/gtest.h>

#if defined(FWKIT_PATH)

#include <sys/file.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "CBootControl.h"
#include "CChunkIndex.h"
#include "CChunkInstall.h"
#include "CFileSource.h"
#include "CGrubEnv.h"
#include "CScriptEnv.h"
#include "CSystemDescription.h"
#include "CSha256.h"
#include "CUbootEnv.h"
#include "MemoryBuffer.h"
#include "TestUtil.h"

namespace {

using testutil::Bytes;
using testutil::ReadBytes;
using testutil::RunResult;

bool Have(const std::string& tool) {
    return testutil::Run("command -v " + tool, "/").status == 0;
}

// A device of two rootfs slots booted from A, its packages signed by the key
// of its keyring ("release") or by one outside it ("other").
class InstallTest : public ::testing::Test {
  public:  // the refusal and backend tables' steps use the fixture too
    void SetUp() override {
        if (!Have("grub-editenv"))
            GTEST_SKIP() << "grub-editenv (grub-common) is not installed";
        Fresh();
    }
    // A new device in a new directory.
    void Fresh() {
        m_dir = std::make_unique<testutil::TempDir>();
        ASSERT_EQ(Fwkit("keygen -q release").status, 0);
        ASSERT_EQ(Fwkit("keygen -q other").status, 0);
        testutil::WriteBytes(P("one.img"), testutil::RandomBytes(70000, 1));
        testutil::WriteBytes(P("two.img"), testutil::RandomBytes(90000, 2));
        Package("one.pkg", "one.img", "1.0.0");
        Package("two.pkg", "two.img", "1.1.0");
        testutil::WriteBytes(P("slotA"), ReadBytes(P("one.img")));
        testutil::WriteBytes(P("slotB"), Bytes(4096, 0xEE));
        testutil::WriteText(P("cmdline"), "console=ttyS0 fwkit.slot=A rw\n");
        ASSERT_EQ(Run("grub-editenv grubenv create").status, 0);
        Describe();
    }
    RunResult Run(const std::string& command) { return testutil::Run(command, m_dir->Path()); }
    RunResult Fwkit(const std::string& args) {
        return Run(testutil::Quote(FWKIT_PATH) + " " + args);
    }
    std::string P(const std::string& name) const { return *m_dir / name; }
    void Package(const std::string& name, const std::string& image, const std::string& version,
                 const std::string& key = "release", const std::string& compatible = "demo") {
        ASSERT_EQ(Fwkit("stamp -v " + version + " -f rootfs -o " + name + " " + image).status, 0);
        ASSERT_EQ(Fwkit("sign -q -k " + key + ".pem --compatible " + compatible + " " + name)
                      .status, 0);
    }
    // The description, with `extra` lines at the end of [system] and slot B as given.
    void Describe(const std::string& extra = "", const std::string& slotB = "device = " +
                                                                            std::string() +
                                                                            "slotB\nkind = file") {
        std::string text = "[system]\ncompatible = demo\nkeyring = " + P("release.pub") +
                           "\nbootloader = grub\ncmdline = " + P("cmdline") + "\nstate = " +
                           P("state") + "\n" + extra + "\n[grub]\nenv = " + P("grubenv") +
                           "\n\n[class rootfs]\nfiletype = rootfs\n\n[slot rootfs.A]\ndevice = " +
                           P("slotA") + "\nkind = raw\n\n[slot rootfs.B]\n" + slotB + "\n";
        const size_t relative = text.find("device = slotB");
        if (relative != std::string::npos)
            text.replace(relative, 14, "device = " + P("slotB"));
        testutil::WriteText(P("system.conf"), text);
    }
    RunResult Install(const std::string& args) {
        return Fwkit("install -c system.conf " + args);
    }
    nlohmann::json Status() {
        const RunResult status = Fwkit("status -c system.conf --json");
        EXPECT_EQ(status.status, 0) << status.err;
        return nlohmann::json::parse(status.out, nullptr, false);
    }
    std::string GrubEnv() { return Run("grub-editenv grubenv list").out; }
    std::unique_ptr<testutil::TempDir> m_dir;
};

TEST_F(InstallTest, InstallsIntoTheOtherSlotAndSwitchesOnlyThen) {
    const RunResult installed = Install("--json two.pkg");
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(ReadBytes(P("slotB")), ReadBytes(P("two.img")));
    EXPECT_EQ(ReadBytes(P("slotA")), ReadBytes(P("one.img")));
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=3\nBOOT_ORDER=B A\n");
    const nlohmann::json report = nlohmann::json::parse(installed.out);
    EXPECT_EQ(report["slot"], "rootfs.B");
    EXPECT_EQ(report["version"], "1.1.0");

    nlohmann::json status = Status();
    EXPECT_EQ(status["booted"], "A");
    EXPECT_EQ(status["next"], "B");
    EXPECT_EQ(status["fallback"], false);  // B has not been tried yet
    EXPECT_EQ(status["slots"][1]["state"], "trying");
    EXPECT_EQ(status["slots"][1]["sha256"], report["sha256"]);

    // B boots and is confirmed; a later boot of A (B out of tries) is a fallback.
    testutil::WriteText(P("cmdline"), "fwkit.slot=B\n");
    ASSERT_EQ(Run("grub-editenv grubenv set BOOT_B_LEFT=1").status, 0);
    ASSERT_EQ(Fwkit("mark-good -c system.conf").status, 0);
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=3\nBOOT_ORDER=B A\n");
    EXPECT_EQ(Status()["slots"][1]["state"], "good");
    testutil::WriteText(P("cmdline"), "fwkit.slot=A\n");
    ASSERT_EQ(Run("grub-editenv grubenv set BOOT_B_LEFT=0").status, 0);
    status = Status();
    EXPECT_EQ(status["fallback"], true);
    EXPECT_EQ(status["next"], "A");
    EXPECT_EQ(status["slots"][1]["state"], "bad");

    ASSERT_EQ(Fwkit("mark-active -c system.conf B").status, 0);
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=3\nBOOT_ORDER=B A\n");
    ASSERT_EQ(Fwkit("mark-bad -c system.conf B").status, 0);
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=0\nBOOT_ORDER=A B\n");
    EXPECT_EQ(Fwkit("mark-active -c system.conf C").status, 13);
}

TEST_F(InstallTest, RawSlotWrittenInPlaceAndDeltaRebuiltFromTheBootedSlot) {
    Describe("tries = 5", "device = " + P("slotB") + "\nkind = raw");
    testutil::WriteBytes(P("slotB"), Bytes(200000, 0xEE));  // a partition larger than the image
    ASSERT_EQ(Fwkit("delta -q --base one.img -k release.pem -o delta.pkg two.pkg").status, 0);
    // The booted slot holds the base and more: its first base-filesize bytes are the base.
    Bytes booted = ReadBytes(P("slotA"));
    booted.resize(booted.size() + 8192, 0x55);
    testutil::WriteBytes(P("slotA"), booted);
    const RunResult installed = Install("delta.pkg");
    ASSERT_EQ(installed.status, 0) << installed.err;
    const Bytes slot = ReadBytes(P("slotB"));
    const Bytes two = ReadBytes(P("two.img"));
    ASSERT_EQ(slot.size(), 200000u);
    EXPECT_TRUE(std::equal(two.begin(), two.end(), slot.begin()));
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=5\nBOOT_ORDER=B A\n");
    EXPECT_EQ(Status()["slots"][1]["size"], two.size());
}

// The bill of materials goes with its package through stamp, sign, delta, check and
// install, byte for byte, into the slot's status; a changed one installs nothing.
TEST_F(InstallTest, BillOfMaterialsRecordedBesideTheSlotStatus) {
    EXPECT_EQ(Fwkit("status -c system.conf --sbom").status, 1);  // none recorded
    const std::string bom = "{\"bomFormat\":\"CycloneDX\",\"specVersion\":\"1.5\",\"metadata\":"
                            "{\"component\":{\"name\":\"demo\"}}}\n";
    testutil::WriteText(P("bom.json"), bom);
    ASSERT_EQ(Fwkit("sign -q -k release.pem --sbom bom.json -o s.pkg two.pkg").status, 0);
    ASSERT_EQ(Fwkit("delta -q --base one.img -k release.pem -o delta.pkg s.pkg").status, 0);
    ASSERT_EQ(Fwkit("check -q -k release.pub --base one.img delta.pkg").status, 0);
    testutil::WriteText(P("delta.pkg.sbom"), bom + " ");
    EXPECT_EQ(Install("delta.pkg").status, 4);
    EXPECT_EQ(GrubEnv(), "");
    // Standard input has nothing beside it: its document is given with --sbom.
    const auto fromInput = [this](const std::string& args) {
        return Run("{ " + testutil::Quote(FWKIT_PATH) + " install -c system.conf " + args +
                   " - < delta.pkg; }");
    };
    EXPECT_EQ(fromInput("").status, 1);
    testutil::WriteText(P("delta.pkg.sbom"), bom);
    const RunResult installed = fromInput("--sbom delta.pkg.sbom");
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(Fwkit("status -c system.conf --sbom B").out, bom);
    EXPECT_EQ(Fwkit("status -c system.conf --sbom").status, 1);  // A, booted, has none
    EXPECT_EQ(Fwkit("status -c system.conf --sbom C").status, 13);
}

// A package with a chunk index goes into a raw slot chunk by chunk: chunks the
// booted slot holds are copied, the target's own kept on a second run, only
// the rest read from the package, and a damaged chunk is never written.
TEST_F(InstallTest, ChunkedInstallReusesResumesAndStopsAtADamagedChunk) {
    constexpr size_t kChunk = 65536;
    Bytes old = testutil::RandomBytes(8 * kChunk, 3);
    Bytes next = old;
    const Bytes fresh = testutil::RandomBytes(kChunk + 1000, 4);
    std::copy(fresh.begin(), fresh.begin() + kChunk, next.begin() + 2 * kChunk);  // chunk 2 changed
    next.insert(next.end(), fresh.begin() + kChunk, fresh.end());                  // a short last one
    testutil::WriteBytes(P("old.img"), old);
    testutil::WriteBytes(P("slotA"), old);
    testutil::WriteBytes(P("next.img"), next);
    ASSERT_EQ(Fwkit("stamp -v 2.0.0 -f rootfs -o next.pkg next.img").status, 0);
    ASSERT_EQ(Fwkit("sign -q -k release.pem --chunk 64K --compatible demo next.pkg").status, 0);
    Describe("", "device = " + P("slotB") + "\nkind = raw");
    const auto fresh_slot = [&] { testutil::WriteBytes(P("slotB"), Bytes(10 * kChunk, 0xEE)); };
    struct Case {
        const char* name;
        std::function<void()> before;
        int status;
        uint64_t present, reused, fetched;
    } cases[] = {
        {"reused from the booted slot", fresh_slot, 0, 0, 7 * kChunk, kChunk + 1000},
        {"resumed from what the target holds",
         [&] {
             fresh_slot();
             Bytes slot = ReadBytes(P("slotB"));
             std::copy(next.begin(), next.begin() + 5 * kChunk, slot.begin());
             testutil::WriteBytes(P("slotB"), slot);
             testutil::WriteBytes(P("slotA"), Bytes(old.size(), 0));
         },
         0, 5 * kChunk, 0, 3 * kChunk + 1000},
        // A file slot resumes from the partial file an install cut short left
        // beside it, then takes its place.
        {"a file slot resumed from its partial file",
         [&] {
             Describe("", "device = " + P("slotB") + "\nkind = file");
             testutil::WriteBytes(P("slotB"), Bytes(100, 0xEE));
             testutil::WriteBytes(P("slotB.part"), Bytes(next.begin(), next.begin() + 3 * kChunk));
             testutil::WriteBytes(P("slotA"), old);
         },
         0, 3 * kChunk, 5 * kChunk, 1000},
        // The booted slot holds the new image one 4 KiB block further on,
        // and one of its blocks changed: no chunk lies at a chunk-aligned
        // offset, yet only that block and the short last one are fetched.
        {"blocks found wherever they moved",
         [&] {
             Describe("", "device = " + P("slotB") + "\nkind = raw");
             fresh_slot();
             Bytes booted = testutil::RandomBytes(4096, 5);
             booted.insert(booted.end(), next.begin(), next.end());
             booted[4096 + 5 * kChunk + 3 * 4096 + 9] ^= 1;
             testutil::WriteBytes(P("slotA"), booted);
         },
         0, 0, 8 * kChunk - 4096, 4096 + 1000},
    };
    for (const Case& c : cases) {
        c.before();
        const RunResult installed = Install("--json next.pkg");
        ASSERT_EQ(installed.status, c.status) << c.name << ": " << installed.err;
        const Bytes slot = ReadBytes(P("slotB"));
        EXPECT_TRUE(std::equal(next.begin(), next.end(), slot.begin())) << c.name;
        EXPECT_FALSE(testutil::Exists(P("slotB.part"))) << c.name;
        const nlohmann::json report = nlohmann::json::parse(installed.out);
        EXPECT_EQ(report["present"], c.present) << c.name;
        EXPECT_EQ(report["reused"], c.reused) << c.name;
        EXPECT_EQ(report["fetched"], c.fetched) << c.name;
        ASSERT_EQ(Run("grub-editenv grubenv set BOOT_ORDER='A B'").status, 0);
    }

    // A damaged chunk stops the install before it is written; a missing index refuses it.
    Describe("", "device = " + P("slotB") + "\nkind = raw");
    fresh_slot();
    testutil::WriteBytes(P("slotA"), Bytes(old.size(), 0));  // nothing to reuse
    Bytes package = ReadBytes(P("next.pkg"));
    const size_t header = package.size() - next.size();
    package[header + 3 * kChunk + 7] ^= 1;
    testutil::WriteBytes(P("next.pkg"), package);
    const RunResult damaged = Install("next.pkg");
    EXPECT_EQ(damaged.status, 3) << damaged.err;
    EXPECT_NE(damaged.err.find("chunk 3 does not match the index"), std::string::npos);
    const Bytes slot = ReadBytes(P("slotB"));
    EXPECT_TRUE(std::all_of(slot.begin() + 3 * kChunk, slot.begin() + 4 * kChunk,
                            [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(GrubEnv().find("BOOT_ORDER=B"), std::string::npos);
    ASSERT_EQ(Run("rm next.pkg.index").status, 0);
    EXPECT_EQ(Install("next.pkg").status, 4);
}

// A block of the booted slot whose hint is one the index gives for another
// block (hints are short; the booted slot may change under the install) puts
// a wrong chunk together: it fails its digest, is fetched whole, and the
// slot ends as the image.
TEST_F(InstallTest, ChunkPutTogetherWrongIsFetchedWhole) {
    constexpr size_t kChunk = 65536;
    const Bytes next = testutil::RandomBytes(4 * kChunk, 6);
    Bytes booted = testutil::RandomBytes(4096, 7);
    booted.insert(booted.end(), next.begin(), next.end());
    testutil::WriteBytes(P("next.img"), next);
    testutil::WriteBytes(P("slotA"), booted);
    testutil::WriteBytes(P("slotB"), Bytes(next.size(), 0xEE));
    ASSERT_EQ(Fwkit("stamp -v 2.0.0 -f rootfs -o next.pkg next.img").status, 0);
    CChunkIndex::Builder builder(kChunk);
    builder.Update(next.data(), next.size());
    std::string data = builder.Finish();
    // Block 20 (in chunk 1) is given the hint of the booted slot's first block.
    const std::string lie = CSha256::Of(booted.data(), 4096).substr(0, 8);
    data.replace(4 * 32 + 20 * 8, 8, lie);
    MemoryBuffer buffer(ReadBytes(P("next.pkg")));
    CPackageHeader header;
    ASSERT_EQ(header.Read(buffer), PackageError::Ok);
    for (const CPackageHeader::Line& line : CChunkIndex::Lines(data, kChunk, CChunkIndex::kBlock))
        header.SetLine(line.first, line.second);
    CChunkIndex index;
    ASSERT_EQ(index.Take(header, data), PackageError::Ok) << index.Problem();
    CFileSource source(P("next.pkg"));
    CChunkInstall install(source, index, header.Size());
    ASSERT_EQ(install.Run(P("slotB"), P("slotA"), booted.size()), PackageError::Ok)
        << install.Problem();
    EXPECT_EQ(ReadBytes(P("slotB")), next);
    EXPECT_EQ(install.GetCounts().reused, 3 * kChunk);
    EXPECT_EQ(install.GetCounts().fetched, kChunk);
}

// Each refusal: its exit status and message, the booted slot, the target and
// the bootloader's environment as they were. A refusal after the target was
// written (a failing post-install hook) leaves the target marked bad and the
// booted slot first.
TEST_F(InstallTest, RefusalsLeaveTheBootedSlotAndTheBootloaderAsTheyWere) {
    struct Refusal {
        const char* name;
        std::function<void(InstallTest&)> prepare;
        const char* package;
        int status;
        const char* message;
        bool targetWritten = false;
    };
    const Refusal kRefusals[] = {
        {"wrong compatible",
         [](InstallTest& t) { t.Package("p.pkg", "two.img", "1.1.0", "release", "other-board"); },
         "p.pkg", 6, "compatible"},
        {"key outside the keyring",
         [](InstallTest& t) { t.Package("p.pkg", "two.img", "1.1.0", "other"); }, "p.pkg", 4,
         "signature"},
        {"downgrade below the booted slot's version",
         [](InstallTest& t) {
             ASSERT_EQ(t.Install("two.pkg").status, 0);
             t.Run("grub-editenv grubenv set BOOT_ORDER='A B' BOOT_B_LEFT=3");
             testutil::WriteText(t.P("cmdline"), "fwkit.slot=B\n");
             testutil::WriteBytes(t.P("slotA"), ReadBytes(t.P("one.img")));
         },
         "one.pkg", 6, "below the minimum"},
        {"delta against another base",
         [](InstallTest& t) {
             testutil::WriteBytes(t.P("base.img"), testutil::RandomBytes(70000, 9));
             ASSERT_EQ(t.Fwkit("delta -q -b base.img -k release.pem -o p.pkg two.pkg").status, 0);
         },
         "p.pkg", 7, "another base"},
        {"slot that cannot be opened",
         [](InstallTest& t) { t.Describe("", "device = " + t.P("none/slotB") + "\nkind = raw"); },
         "two.pkg", 14, "none/slotB"},
        {"target that is the booted slot's device",
         [](InstallTest& t) {
             t.Run("ln -s slotA linkA");
             t.Describe("", "device = " + t.P("linkA") + "\nkind = raw");
         },
         "two.pkg", 12, "runs from"},
        {"failing pre-install hook",
         [](InstallTest& t) {
             testutil::WriteText(t.P("hook"), "#!/bin/sh\n[ \"$FWKIT_SLOT\" = B ] && exit 3\n");
             t.Run("chmod +x hook");
             t.Describe("pre-install = " + t.P("hook"));
         },
         "two.pkg", 17, "exit status 3"},
        {"failing post-install hook",
         [](InstallTest& t) {
             // Fails only once the slot holds the image.
             testutil::WriteText(t.P("hook"), "#!/bin/sh\ncmp -s \"$FWKIT_DEVICE\" " +
                                                  t.P("two.img") + " && exit 4\n");
             t.Run("chmod +x hook");
             t.Describe("post-install = " + t.P("hook"));
         },
         "two.pkg", 17, "exit status 4", true},
        {"booted slot none of the description's",
         [](InstallTest& t) { testutil::WriteText(t.P("cmdline"), "fwkit.slot=C\n"); }, "two.pkg",
         11, "'C' is none of the description's"},
        {"description naming the booted slot's device as the target",
         [](InstallTest& t) { t.Describe("", "device = " + t.P("slotA") + "\nkind = raw"); },
         "two.pkg", 10, "has the device of slot rootfs.A"},
        {"not a package", [](InstallTest& t) { testutil::WriteText(t.P("p.pkg"), "x\n"); },
         "p.pkg", 2, "not a package"},
    };
    for (const Refusal& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        Fresh();
        refusal.prepare(*this);
        const Bytes booted = ReadBytes(P("slotA"));
        const Bytes target = ReadBytes(P("slotB"));
        const std::string env = GrubEnv();
        const RunResult r = Install(refusal.package);
        EXPECT_EQ(r.status, refusal.status) << r.err;
        EXPECT_EQ(r.err.rfind("fwkit: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(refusal.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadBytes(P("slotA")), booted);
        if (!refusal.targetWritten) {
            EXPECT_EQ(ReadBytes(P("slotB")), target);
            EXPECT_EQ(GrubEnv(), env);
        } else {
            EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=0\nBOOT_ORDER=A B\n");
        }
    }
}

TEST_F(InstallTest, ASecondInstallIsRefusedWhileTheLockIsHeld) {
    ASSERT_EQ(Install("one.pkg").status, 0);
    const std::string env = GrubEnv();
    const int lock = open(P("state/lock").c_str(), O_RDWR);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const RunResult second = Install("two.pkg");
    close(lock);
    EXPECT_EQ(second.status, 16);
    EXPECT_NE(second.err.find("another install holds the lock"), std::string::npos) << second.err;
    EXPECT_EQ(GrubEnv(), env);
    EXPECT_EQ(ReadBytes(P("slotB")), ReadBytes(P("one.img")));
    EXPECT_EQ(ReadBytes(P("slotA")), ReadBytes(P("one.img")));
}

// A firmware file of a kernel and a root file system: each fragment into the
// target slot of the class that takes its name or type, all read back and
// recorded before the one switch; a fragment no class takes refuses it all.
TEST_F(InstallTest, FirmwareFileSplitAmongItsClassesAllOrNothing) {
    testutil::WriteBytes(P("kernel.bin"), testutil::RandomBytes(30000, 5));
    const std::string imgpack = testutil::Quote(IMGPACK_PATH);
    ASSERT_EQ(Run("cp one.img rootfs.bin && " + imgpack + " -t 400 -o k.fw kernel.bin && " +
                  imgpack + " -t 401 -o r.fw rootfs.bin && " + imgpack +
                  " -p 2 -t 300 -a 7 -o all.fw k.fw r.fw")
                  .status, 0);
    Package("all.pkg", "all.fw", "1.2.0");
    const auto describe = [this](const std::string& rootfs) {
        std::string text;
        for (const char* slot : {"kernel.A", "kernel.B", "rootfs.A", "rootfs.B"})
            text += std::string("[slot ") + slot + "]\nkind = file\ndevice = " +
                    P(std::string("slot-") + slot) + "\n";
        testutil::WriteText(P("system.conf"),
                            "[system]\ncompatible = demo\nkeyring = " + P("release.pub") +
                                "\nbootloader = grub\ncmdline = " + P("cmdline") + "\nstate = " +
                                P("state") + "\n[grub]\nenv = " + P("grubenv") +
                                "\n[class kernel]\nfragment = kernel.bin\n[class rootfs]\n"
                                "fragment = " + rootfs + "\n" + text);
        Run("for s in kernel.A kernel.B rootfs.A rootfs.B; do echo old > slot-$s; done");
    };
    describe("type=402");
    const RunResult refused = Install("all.pkg");
    EXPECT_EQ(refused.status, 13);
    EXPECT_NE(refused.err.find("fragment rootfs.bin (type 401) goes to no slot class"),
              std::string::npos) << refused.err;
    EXPECT_EQ(testutil::ReadText(P("slot-kernel.B")), "old\n");
    EXPECT_EQ(GrubEnv(), "");

    describe("type=401");
    const RunResult installed = Install("--json all.pkg");
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(ReadBytes(P("slot-kernel.B")), ReadBytes(P("kernel.bin")));
    EXPECT_EQ(ReadBytes(P("slot-rootfs.B")), ReadBytes(P("rootfs.bin")));
    EXPECT_EQ(testutil::ReadText(P("slot-kernel.A")), "old\n");
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=3\nBOOT_ORDER=B A\n");
    EXPECT_EQ(nlohmann::json::parse(installed.out)["slot"], "kernel.B rootfs.B");
    const nlohmann::json status = Status();
    EXPECT_EQ(status["slots"][1]["size"], 30000);
    EXPECT_EQ(status["slots"][3]["version"], "1.2.0");
    EXPECT_FALSE(testutil::Exists(P("state/image.fw")));
}

// The C API's update agent installs as fwkit install does, and refuses alike.
TEST_F(InstallTest, CApiInstallsAndRefusesAsFwkitDoes) {
    const std::string agent = testutil::Quote(CAPI_STREAM_PATH) + " --install system.conf ";
    Package("p.pkg", "two.img", "1.1.0", "other");
    const RunResult refused = Run(agent + "p.pkg");
    EXPECT_EQ(refused.status, 4) << refused.out;
    EXPECT_EQ(refused.out.rfind("refused: p.pkg: ", 0), 0u) << refused.out;
    EXPECT_EQ(GrubEnv(), "");
    const RunResult installed = Run(agent + "two.pkg");
    ASSERT_EQ(installed.status, 0) << installed.out;
    EXPECT_EQ(ReadBytes(P("slotB")), ReadBytes(P("two.img")));
    EXPECT_EQ(GrubEnv(), "BOOT_B_LEFT=2\nBOOT_ORDER=B A\n");
    EXPECT_NE(installed.out.find("\"slot\": \"rootfs.B\""), std::string::npos) << installed.out;
    EXPECT_NE(installed.out.find("\"next\": \"B\""), std::string::npos) << installed.out;
}

TEST_F(InstallTest, DescriptionRefusedWithItsLineAndReason) {
    const std::string head = "[system]\ncompatible = demo\nkeyring = k\nbootloader = grub\n";
    const std::string slots = "[class rootfs]\nfiletype = rootfs\n[slot rootfs.A]\ndevice = a\n"
                              "[slot rootfs.B]\ndevice = b\n";
    const struct {
        std::string text;
        std::string problem;
    } kCases[] = {
        {"compatible = demo\n", ":1: 'compatible' is outside any section"},
        {"[system]\nkeyring = k\nbootloader = grub\n" + slots, ":1: [system] has no 'compatible'"},
        {head + "bootloader = lilo\n", ":5: 'bootloader' is given twice in [system]"},
        {"[system]\nbootloader = lilo\n", ":2: bootloader: 'lilo' is none of uboot, grub, script"},
        {head + "tries = 0\n" + slots, ":5: tries: '0' is not a number from 1 to 1000"},
        {head + "colour = blue\n", ":5: unknown key 'colour' in [system]"},
        {head + "[slots]\n", ":5: unknown section [slots]"},
        {head + "just words\n", ":5: not a 'key = value' line or a [section]"},
        {head + "[class rootfs]\nfiletype = rootfs\n[slot rootfs.A]\ndevice = a\n",
         ":5: class rootfs needs two slots or more"},
        {head + slots + "[slot kernel.A]\ndevice = k\n", ":11: slot kernel.A: no [class kernel]"},
        {head + slots + "[slot rootfs.C]\ndevice = a\n",
         ":11: slot rootfs.C has the device of slot rootfs.A"},
        {head + "[class rootfs]\nfiletype = rootfs\n[slot rootfs.A]\nkind = flash\n",
         ":8: kind: 'flash' is neither raw nor file"},
        {head + slots + "[class kernel]\nfragment = kernel\n[slot kernel.A]\ndevice = ka\n"
                        "[slot kernel.C]\ndevice = kc\n",
         ":11: class kernel has other boot names than class rootfs"},
        {head + slots + "[system]\n", ":11: [system] is given twice"},
        {head + "[class kernel]\nfragment = type=4294967296\n",
         ":6: fragment: '4294967296' is not a number from 0 to 4294967295"},
        {head + slots + "[class kernel]\nfragment = type=400\n[slot kernel.A]\ndevice = ka\n"
                        "[slot kernel.B]\ndevice = kb\n[class dtb]\nfragment = type=400\n"
                        "[slot dtb.A]\ndevice = da\n[slot dtb.B]\ndevice = db\n",
         ":17: class dtb takes the fragment of class kernel"},
        {head + "cmdline = " + std::string(300, 'x') + "\n", ":5: line too long"},
        {"[system]\nbootloader = script\ncompatible = d\nkeyring = k\n",
         ":1: bootloader script needs [script] command"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        testutil::WriteText(P("bad.conf"), c.text);
        CSystemDescription description;
        EXPECT_FALSE(description.Read(P("bad.conf")));
        EXPECT_EQ(description.Problem(), P("bad.conf") + c.problem);
    }
    const RunResult status = Fwkit("status -c bad.conf");
    EXPECT_EQ(status.status, 10);
    EXPECT_EQ(status.err, "fwkit: bad.conf:1: bootloader script needs [script] command\n");
}

// The order and the counters each backend keeps, written by fwkit and read back
// by the bootloader's own tool (or the script's files), and what that tool sets
// read by fwkit and kept when it saves.
TEST_F(InstallTest, BackendsKeepTheOrderAndCountersOtherToolsRead) {
    struct Backend {
        const char* name;
        const char* tool;
        const char* prepare;  // makes the environment
        std::function<std::unique_ptr<CBootEnv>(InstallTest&)> open;
        const char* read;  // prints it, one sorted NAME=VALUE a line
        const char* setOther;  // sets OTHER=1
    };
    const char kBootctl[] = "#!/bin/sh\nmkdir -p \"${0%/*}/vars\" && cd \"${0%/*}/vars\" || exit 1\n"
                            "case $1 in\nget) cat \"$2\" 2>/dev/null; exit 0 ;;\n"
                            "set) printf '%s' \"$3\" > \"$2\" ;;\nesac\n";
    testutil::WriteText(P("bootctl"), kBootctl);
    testutil::WriteText(P("fw_env.config"),
                        P("env1") + " 0x0 0x4000\n" + P("env2") + " 0x0 0x4000\n");
    const Backend kBackends[] = {
        {"grub", "grub-editenv", "true",
         [](InstallTest& t) { return std::make_unique<CGrubEnv>(t.P("grubenv")); },
         "grub-editenv grubenv list | sort", "grub-editenv grubenv set OTHER=1"},
        {"uboot, redundant, first copy corrupted", "fw_printenv",
         "printf 'bootcmd=boot\\n' | mkenvimage -r -s 0x4000 -o env1 - && cp env1 env2 && "
         "printf XXXX | dd of=env1 conv=notrunc status=none",
         [](InstallTest& t) { return std::make_unique<CUbootEnv>(t.P("fw_env.config")); },
         "fw_printenv -c fw_env.config | grep -v ^bootcmd= | sort",
         "fw_setenv -c fw_env.config OTHER 1"},
        {"script", "sh", "chmod +x bootctl",
         [](InstallTest& t) { return std::make_unique<CScriptEnv>(t.P("bootctl")); },
         "cd vars && for v in *; do echo \"$v=$(cat $v)\"; done", "printf 1 > vars/OTHER"},
    };
    // Each command runs as one group: the runner's redirections would go to the
    // last command of a pipeline.
    const auto shell = [this](const char* command) { return Run("{ " + std::string(command) + "; }"); };
    // U-Boot keeps the environment's CRC in the device's byte order: this
    // machine's fw_printenv and mkenvimage cannot stand for a big-endian
    // host's own tools.
    const bool foreignOrder = testutil::kForeignHost && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    for (const Backend& backend : kBackends) {
        SCOPED_TRACE(backend.name);
        if (!Have(backend.tool) || !Have("mkenvimage") ||
            (foreignOrder && std::string(backend.tool) == "fw_printenv"))
            continue;
        ASSERT_EQ(shell(backend.prepare).status, 0);
        std::unique_ptr<CBootEnv> env = backend.open(*this);
        ASSERT_TRUE(env->Load()) << env->Problem();
        CBootControl control(*env, {"A", "B"}, 3);
        EXPECT_EQ(control.Next(), "A");
        ASSERT_TRUE(control.MarkBad("A")) << env->Problem();
        EXPECT_EQ(shell(backend.read).out, "BOOT_A_LEFT=0\nBOOT_ORDER=B A\n");
        EXPECT_EQ(control.Next(), "B");
        ASSERT_TRUE(control.MakeNext("A", 2)) << env->Problem();
        EXPECT_EQ(shell(backend.read).out, "BOOT_A_LEFT=2\nBOOT_ORDER=A B\n");

        ASSERT_EQ(shell(backend.setOther).status, 0);
        env = backend.open(*this);
        ASSERT_TRUE(env->Load()) << env->Problem();
        CBootControl reread(*env, {"A", "B"}, 3);
        EXPECT_EQ(env->Get("OTHER"), "1");
        EXPECT_EQ(reread.TriesLeft("A"), 2u);
        ASSERT_TRUE(reread.MarkGood("A")) << env->Problem();
        EXPECT_EQ(shell(backend.read).out, "BOOT_A_LEFT=3\nBOOT_ORDER=A B\nOTHER=1\n");
    }
}

}  // namespace

#endif
