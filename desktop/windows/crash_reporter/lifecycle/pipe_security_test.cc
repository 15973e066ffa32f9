#include "desktop/windows/crash_reporter/lifecycle/pipe_security.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

namespace tavra {
namespace {

TEST(PipeSecurityTest, LowIntegrityLabelWithNoWriteUp) {
  PipeSecurity security;
  ASSERT_TRUE(security.build());
  SECURITY_ATTRIBUTES* attributes = security.attributes();
  EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes->nLength);  // 12, or 24 in a 64-bit program
  EXPECT_FALSE(attributes->bInheritHandle);
  ASSERT_NE(nullptr, attributes->lpSecurityDescriptor);

  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  ASSERT_TRUE(
      GetSecurityDescriptorSacl(attributes->lpSecurityDescriptor, &present, &sacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(nullptr, sacl);
  ASSERT_EQ(1u, sacl->AceCount);
  ACE_HEADER* header = nullptr;
  ASSERT_TRUE(GetAce(sacl, 0, reinterpret_cast<void**>(&header)));
  ASSERT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, header->AceType);
  auto* ace = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(header);
  EXPECT_EQ(static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP), ace->Mask);
  LPWSTR sid = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<PSID>(&ace->SidStart), &sid));
  EXPECT_STREQ(L"S-1-16-4096", sid);
  LocalFree(sid);
}

TEST(PipeSecurityTest, TextWithoutSaclOrInvalidTextLeavesNoDescriptor) {
  PipeSecurity security;
  EXPECT_FALSE(security.build(L"D:(A;;GA;;;WD)"));
  EXPECT_EQ(nullptr, security.attributes()->lpSecurityDescriptor);
  EXPECT_FALSE(security.build(L"not a descriptor"));
  EXPECT_EQ(nullptr, security.attributes()->lpSecurityDescriptor);
  EXPECT_EQ(nullptr, security.descriptor());
}

TEST(PipeSecurityTest, ResetFreesAndClearsTheDescriptor) {
  PipeSecurity security;
  ASSERT_TRUE(security.build());
  security.reset();
  EXPECT_EQ(nullptr, security.descriptor());
  EXPECT_EQ(nullptr, security.attributes()->lpSecurityDescriptor);
  // Building again after a reset works as the first time.
  EXPECT_TRUE(security.build());
}

TEST(PipeSecurityTest, LabelledPipeCanBeCreated) {
  PipeSecurity security;
  ASSERT_TRUE(security.build());
  std::wstring name = L"\\\\.\\pipe\\pipe_security_test" + std::to_wstring(GetCurrentProcessId());
  HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 64, 64, 0,
                                 security.attributes());
  ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
  CloseHandle(pipe);
}

}  // namespace
}  // namespace tavra
