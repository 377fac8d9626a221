// Resources read back from a program built with corvrc, and files that are not
// what they claim to be.
#include "platform/resource.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "elf_section.h"
#include "temp_root.h"

namespace {

constexpr const char* kSample = CORVRES_SAMPLE_PROGRAM;

std::vector<BYTE> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::vector<BYTE>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// ---- Reading resources from a built program ------------------------------------

class ResourceRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_module = LoadLibraryExA(kSample, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m_module, nullptr) << GetLastError();
  }
  void TearDown() override { FreeLibrary(m_module); }
  HMODULE m_module = nullptr;
};

TEST_F(ResourceRoundTripTest, MessageTableComesBackAsWritten) {
  HRSRC res = FindResourceA(m_module, MAKEINTRESOURCEA(1), RT_MESSAGETABLE);
  ASSERT_NE(res, nullptr);
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(m_module, res)));
  const DWORD size = SizeofResource(m_module, res);
  const auto table = platform::readMessageTable(data, size);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->size(), 6u);
  EXPECT_EQ(table->at(2), "Disk %1 is full (%2%% used).%r%nDetails: %3\r\n");
  // Windows' layout: ids 1-4 and 1000-1001 make two blocks.
  DWORD blocks;
  std::memcpy(&blocks, data, 4);
  EXPECT_EQ(blocks, 2u);
}

TEST_F(ResourceRoundTripTest, LookupsByNumberLanguageAndHashName) {
  EXPECT_NE(FindResourceA(m_module, "#1", "#11"), nullptr);
  EXPECT_NE(FindResourceW(m_module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)), nullptr);
  EXPECT_EQ(FindResourceExA(m_module, RT_MESSAGETABLE, MAKEINTRESOURCEA(1), 1031), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_EQ(FindResourceA(m_module, MAKEINTRESOURCEA(2), RT_MESSAGETABLE), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceA(m_module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(6)), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(FindResourceA(m_module, "name", RT_MESSAGETABLE), nullptr);
}

TEST_F(ResourceRoundTripTest, HandlesThatAreNotLiveAreRefused) {
  HRSRC res = FindResourceA(m_module, MAKEINTRESOURCEA(1), RT_MESSAGETABLE);
  HMODULE other = LoadLibraryExA(kSample, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(LoadResource(other, res), nullptr);  // a resource of another module
  EXPECT_TRUE(FreeLibrary(other));
  EXPECT_FALSE(FreeLibrary(other));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(FindResourceA(other, MAKEINTRESOURCEA(1), RT_MESSAGETABLE), nullptr);
}

TEST(VersionInfoTest, FixedAndStringValuesOfABuiltProgram) {
  const DWORD size = GetFileVersionInfoSizeA(kSample, nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  EXPECT_FALSE(GetFileVersionInfoA(kSample, 0, size - 1, block.data()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(GetFileVersionInfoA(kSample, 0, size, block.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, kFixedFileInfoSignature);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00030004u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00050006u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00070008u);

  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::memcmp(value, "\x09\x04\xb0\x04", 4), 0);

  // Keys compare without case; a byte that is not UTF-8 survives the UTF-16 block.
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\stringfileinfo\\040904B0\\FileDescription", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), "Resource test program \xe9");
  EXPECT_EQ(length, std::strlen("Resource test program \xe9") + 1);
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\ProductName", &value, &length));
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(value)), u"Corvantel");
  EXPECT_EQ(length, 10u);

  EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\LegalTrademarks", &value, &length));
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST(VersionInfoTest, ProgramWithoutResourcesHasNoVersion) {
  // The test program itself carries no resources.
  char self[4096];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  EXPECT_EQ(GetFileVersionInfoSizeA(self, nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(GetFileVersionInfoSizeA("/nonexistent/program", nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(ModuleFileNameTest, NamesTheRunningProgramAndTruncatesLikeWindows) {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::filesystem::path(path).filename(), "platform_test");
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));

  char small[5];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), std::string(path, 4));

  char16_t wide[4096];
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 4096), n);
}

TEST(LoadLibraryTest, RefusesToLoadForExecution) {
  EXPECT_EQ(LoadLibraryExA(kSample, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// ---- Damaged and hostile files -------------------------------------------------

class HostileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_image = readFile(kSample);
    ASSERT_GT(m_image.size(), sizeof(Elf64_Ehdr));
    std::memcpy(&m_header, m_image.data(), sizeof m_header);
  }

  // LoadLibraryEx on bytes written to a file; returns the error (0 if it loaded).
  DWORD loadError(const std::vector<BYTE>& bytes) {
    const auto path = m_root.base() / "program";
    writeFile(path, bytes);
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return GetLastError();
    FreeLibrary(module);
    return 0;
  }

  Elf64_Shdr sectionHeader(std::size_t index) const {
    Elf64_Shdr sh;
    std::memcpy(&sh, m_image.data() + m_header.e_shoff + index * m_header.e_shentsize, sizeof sh);
    return sh;
  }
  void setSectionHeader(std::vector<BYTE>& bytes, std::size_t index, const Elf64_Shdr& sh) const {
    std::memcpy(bytes.data() + m_header.e_shoff + index * m_header.e_shentsize, &sh, sizeof sh);
  }
  std::size_t resourceSectionIndex() const {
    const Elf64_Shdr names = sectionHeader(m_header.e_shstrndx);
    for (std::size_t i = 1; i < m_header.e_shnum; ++i)
      if (std::strcmp(
              reinterpret_cast<const char*>(m_image.data()) + names.sh_offset + sectionHeader(i).sh_name,
              "corvres") == 0)
        return i;
    return 0;
  }
  template <typename Field>
  std::vector<BYTE> withHeaderField(Field Elf64_Ehdr::*field, Field value) const {
    Elf64_Ehdr h = m_header;
    h.*field = value;
    std::vector<BYTE> bytes = m_image;
    std::memcpy(bytes.data(), &h, sizeof h);
    return bytes;
  }

  platform::testing::TempPlatformRoot m_root;
  std::vector<BYTE> m_image;
  Elf64_Ehdr m_header{};
};

TEST_F(HostileFileTest, TruncatedFilesAreBadFormat) {
  // The section headers sit at the end of the file: every cut loses some of them.
  for (std::size_t cut : {std::size_t(0), std::size_t(3), std::size_t(63), std::size_t(64),
                          m_image.size() / 2, std::size_t(m_header.e_shoff) + 10, m_image.size() - 1}) {
    const std::vector<BYTE> bytes(m_image.begin(), m_image.begin() + std::ptrdiff_t(cut));
    EXPECT_EQ(loadError(bytes), DWORD(ERROR_BAD_EXE_FORMAT)) << "cut at " << cut;
  }
}

TEST_F(HostileFileTest, HeaderFieldsOutOfRangeAreBadFormat) {
  EXPECT_EQ(loadError(withHeaderField(&Elf64_Ehdr::e_shoff, Elf64_Off(m_image.size()))),
            DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(withHeaderField(&Elf64_Ehdr::e_shoff, ~Elf64_Off(0) - 8)), DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(withHeaderField(&Elf64_Ehdr::e_shnum, Elf64_Half(0xfeff))),
            DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(withHeaderField(&Elf64_Ehdr::e_shentsize, Elf64_Half(8))), DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(withHeaderField(&Elf64_Ehdr::e_shstrndx, Elf64_Half(m_header.e_shnum))),
            DWORD(ERROR_BAD_EXE_FORMAT));
  std::vector<BYTE> bigEndian = m_image;
  bigEndian[EI_DATA] = ELFDATA2MSB;
  EXPECT_EQ(loadError(bigEndian), DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError({'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'}), DWORD(ERROR_BAD_EXE_FORMAT));
}

TEST_F(HostileFileTest, SectionHeadersPointingOutsideTheFileAreBadFormat) {
  const std::size_t index = resourceSectionIndex();
  ASSERT_NE(index, 0u);
  auto mutated = [&](auto change) {
    std::vector<BYTE> bytes = m_image;
    Elf64_Shdr sh = sectionHeader(index);
    change(sh);
    setSectionHeader(bytes, index, sh);
    return bytes;
  };
  EXPECT_EQ(loadError(mutated([&](Elf64_Shdr& sh) { sh.sh_offset = m_image.size(); })),
            DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(mutated([](Elf64_Shdr& sh) { sh.sh_size = ~Elf64_Xword(0); })),
            DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(mutated([](Elf64_Shdr& sh) { sh.sh_offset = ~Elf64_Off(0) - 4; })),
            DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(mutated([](Elf64_Shdr& sh) { sh.sh_name = 0x7fffffff; })), DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(loadError(mutated([](Elf64_Shdr& sh) { sh.sh_type = SHT_NOBITS; })), DWORD(ERROR_BAD_EXE_FORMAT));
}

TEST_F(HostileFileTest, DamagedResourceSectionIsInvalidData) {
  const Elf64_Shdr sh = sectionHeader(resourceSectionIndex());
  std::vector<BYTE> bytes = m_image;
  bytes[sh.sh_offset + 12] = 0xff;  // entry count far beyond the container
  EXPECT_EQ(loadError(bytes), DWORD(ERROR_INVALID_DATA));
  bytes = m_image;
  bytes[sh.sh_offset] = 'X';  // magic
  EXPECT_EQ(loadError(bytes), DWORD(ERROR_INVALID_DATA));
}

TEST_F(HostileFileTest, ElfWithoutResourcesLoadsButHasNoneToFind) {
  char self[4096];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  HMODULE module = LoadLibraryExA(self, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(FindResourceA(module, MAKEINTRESOURCEA(1), RT_MESSAGETABLE), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
  FreeLibrary(module);
  EXPECT_EQ(loadError({}), DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(LoadLibraryExA(m_root.base().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);  // a folder
}

TEST_F(HostileFileTest, RandomDamageNeverCrashesTheReaders) {
  std::mt19937 random(20240611);
  const std::size_t headerEnd = std::size_t(m_header.e_shoff);
  for (int round = 0; round < 400; ++round) {
    std::vector<BYTE> bytes = m_image;
    for (int i = 0; i < 8; ++i) {
      // Damage the ELF header and the section header table, where the reader looks.
      const bool inTable = random() % 2 == 0 && headerEnd < bytes.size();
      const std::size_t at = inTable ? headerEnd + random() % (bytes.size() - headerEnd) : random() % 64;
      bytes[at] = BYTE(random());
    }
    const auto section = platform::readElfSection(bytes.data(), bytes.size(), "corvres");
    if (section.found) (void)platform::decodeResourceSection(section.data.data(), section.data.size());
  }
  for (int round = 0; round < 400; ++round) {
    std::vector<BYTE> noise(random() % 512);
    for (BYTE& b : noise) b = BYTE(random());
    if (noise.size() > 6 && round % 2 == 0) std::memcpy(noise.data(), ELFMAG "\2\1", 6);
    (void)platform::readElfSection(noise.data(), noise.size(), "corvres");
    (void)platform::decodeResourceSection(noise.data(), noise.size());
    (void)platform::readMessageTable(noise.data(), noise.size());
    (void)platform::findMessage(noise.data(), noise.size(), 1);
  }
}

// ---- The container and message table layouts -----------------------------------

TEST(ResourceLayoutTest, ContainersFromSeveralObjectsAreAllRead) {
  std::vector<BYTE> section = platform::encodeResourceContainer({{11, 1, 1033, {1, 2, 3}}});
  section.resize(section.size() + 8, 0);  // alignment padding the linker may leave
  const auto second = platform::encodeResourceContainer({{16, 1, 1033, {}}, {6, 7, 1031, {9}}});
  section.insert(section.end(), second.begin(), second.end());
  const auto entries = platform::decodeResourceSection(section.data(), section.size());
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 3u);
  EXPECT_EQ((*entries)[0].data, (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ((*entries)[2].language, 1031u);
}

TEST(ResourceLayoutTest, TruncatedContainersAndTablesAreRejected) {
  const auto container = platform::encodeResourceContainer({{11, 1, 1033, {1, 2, 3, 4, 5}}});
  for (std::size_t cut = 1; cut < container.size(); ++cut)
    EXPECT_FALSE(platform::decodeResourceSection(container.data(), cut).has_value()) << cut;

  const auto table = platform::buildMessageTable({{1, "one"}, {2, "two"}, {7, "seven"}});
  ASSERT_TRUE(table);
  for (std::size_t cut = 0; cut < table->size() - 4; ++cut)
    EXPECT_FALSE(platform::readMessageTable(table->data(), cut).has_value()) << cut;

  std::vector<BYTE> hostile = *table;
  hostile[4 + 8] = 0xf0;  // the first block's entries lie beyond the table
  EXPECT_FALSE(platform::findMessage(hostile.data(), hostile.size(), 1));
  hostile = *table;
  hostile[0] = 0xff;  // more blocks than bytes
  EXPECT_FALSE(platform::readMessageTable(hostile.data(), hostile.size()));
}

TEST(ResourceLayoutTest, UnicodeEntriesAreReadAsAnsi) {
  // Length 12, flags 1, "Aé" in UTF-16 with its terminator, padded.
  const std::vector<BYTE> table = {1, 0, 0,  0, 5, 0, 0,   0, 5,    0, 0, 0, 16, 0,
                                   0, 0, 12, 0, 1, 0, 'A', 0, 0xe9, 0, 0, 0, 0,  0};
  EXPECT_EQ(platform::findMessage(table.data(), table.size(), 5), "A\xc3\xa9");
}

TEST(ResourceLayoutTest, DamagedVersionBlocksAreNotFollowed) {
  platform::VersionInfoSource source;
  source.strings = {{"ProductName", "Corvantel"}};
  const std::vector<BYTE> good = platform::buildVersionInfo(source);
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(good.data(), "\\StringFileInfo\\040904b0\\ProductName", &value, &length));

  for (std::size_t at = 0; at + 1 < good.size(); at += 2) {
    std::vector<BYTE> bad = good;
    bad[at] = 0xff;
    bad[at + 1] = 0x7f;  // a length or character far out of range
    (void)VerQueryValueA(bad.data(), "\\StringFileInfo\\040904b0\\ProductName", &value, &length);
    (void)VerQueryValueA(bad.data(), "\\VarFileInfo\\Translation", &value, &length);
  }
  std::vector<BYTE> bad = good;
  bad[0] = 0x20;  // the root claims to end inside its own key
  bad[1] = 0;
  EXPECT_FALSE(VerQueryValueA(bad.data(), "\\", &value, &length));
}

}  // namespace
