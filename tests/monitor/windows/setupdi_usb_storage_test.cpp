// The real device list under Wine: a USB storage disk made in the registry is
// listed with the letter case the registry stores.
#include "monitor/windows/setupdi_usb_storage.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

namespace vx {
namespace {

constexpr wchar_t kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";

// A disk drive under USBSTOR, created as a plain registry key (the device
// setup's own creation would upper-case it).
class RegistryDisk {
 public:
  RegistryDisk(const std::wstring& deviceId, const std::wstring& instance)
      : path_(std::wstring(kEnumKey) + L"\\" + deviceId + L"\\" + instance), device_(deviceId) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t classGuid[] = L"{4d36e967-e325-11ce-bfc1-08002be10318}";
    RegSetValueExW(key, L"ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(classGuid), sizeof classGuid);
    RegCloseKey(key);
  }
  ~RegistryDisk() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnumKey) + L"\\" + device_).c_str()); }

 private:
  std::wstring path_;
  std::wstring device_;
};

TEST(SetupDiUsbStorage, ListsARegistryDiskWithItsStoredLetterCase) {
  RegistryDisk disk(L"Disk&Ven_Kingston&Prod_DataTraveler_2.0&Rev_1.00", L"0019E06B9C85F9A0A7E50000&0");
  SetupDiUsbStorageSource source;
  const auto names = source.PresentDiskKeyNames();
  const auto found = std::find_if(names.begin(), names.end(), [](const std::u16string& name) {
    return name.find(u"USBSTOR\\Disk&Ven_Kingston&Prod_DataTraveler_2.0&Rev_1.00\\0019E06B9C85F9A0A7E50000&0") !=
           std::u16string::npos;
  });
  ASSERT_NE(found, names.end()) << names.size() << " names listed";
  EXPECT_EQ(found->rfind(u"\\REGISTRY\\", 0), 0u);

  const auto disks = EnumerateUsbStorage(source);
  const auto parsed =
      std::find_if(disks.begin(), disks.end(), [](const USB_RULE& d) { return std::string(d.vendor) == "Kingston"; });
  ASSERT_NE(parsed, disks.end());
  EXPECT_STREQ(parsed->product, "DataTraveler 2.0");
  EXPECT_STREQ(parsed->revision, "1.00");
  EXPECT_STREQ(parsed->serial, "0019E06B9C85F9A0A7E50000");
}

TEST(SetupDiUsbStorage, NoDiskNoNames) {
  SetupDiUsbStorageSource source;
  const auto names = source.PresentDiskKeyNames();
  EXPECT_TRUE(std::none_of(names.begin(), names.end(), [](const std::u16string& name) {
    return name.find(u"Ven_Kingston") != std::u16string::npos;
  }));
}

}  // namespace
}  // namespace vx
