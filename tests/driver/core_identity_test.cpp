#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/core/identity.h"

namespace {

using vx::driver::DEVICE_IDENTITY;
using vx::driver::ParseDeviceIdentity;
using namespace std::string_literals;  // u"..."s keeps embedded zero characters

DEVICE_IDENTITY Parse(const std::u16string& name) {
  DEVICE_IDENTITY identity;
  ParseDeviceIdentity(reinterpret_cast<const uint16_t*>(name.data()), name.size(), &identity);
  return identity;
}

struct IdentityCase {
  const char* what;
  std::u16string name;
  std::string vendor, product, revision, serial;
};

TEST(ParseDeviceIdentity, ReadsTheFourTextsFromKeyNames) {
  const std::u16string stick =
      u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USBSTOR\\Disk&Ven_Acme&Prod_Flash_Drive&Rev_1.00"
      u"\\0123456789AB&0\\Device Parameters";
  const IdentityCase cases[] = {
      {"typical stick", stick, "Acme", "Flash Drive", "1.00", "0123456789AB"},
      {"Wine's wording",
       u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Kingston&Prod_DT&Rev_PMAP\\5B8&0",
       "Kingston", "DT", "PMAP", "5B8"},
      {"no marker: default identity", u"\\REGISTRY\\MACHINE\\SYSTEM\\Enum\\SCSI\\Disk&Ven_X&Prod_Y", "Generic",
       "USB Disk", "1.0", "1"},
      {"marker case differs", u"\\Enum\\usbstor\\Disk&Ven_A\\1", "Generic", "USB Disk", "1.0", "1"},
      {"shorter than the marker", u"USBSTOR\\Disk", "Generic", "USB Disk", "1.0", "1"},
      {"empty name", u"", "Generic", "USB Disk", "1.0", "1"},
      {"marker at the very end", u"X\\USBSTOR\\Disk&", "", "", "", ""},
      {"no revision part", u"USBSTOR\\Disk&Ven_A&Prod_B\\S1", "A", "B", "", "S1"},
      {"fields in another order", u"USBSTOR\\Disk&Rev_9&Prod_P&Ven_V\\S", "V", "P", "9", "S"},
      {"unknown parts are passed over", u"USBSTOR\\Disk&Foo_1&Ven_V&Bar\\S", "V", "", "", "S"},
      {"prefixes compare case", u"USBSTOR\\Disk&ven_v&Prod_P\\S", "", "P", "", "S"},
      {"no serial part", u"USBSTOR\\Disk&Ven_V&Prod_P", "V", "P", "", ""},
      {"serial ends at &", u"USBSTOR\\Disk&Ven_V\\AB_C&0\\x", "V", "", "", "AB C"},
      {"empty vendor", u"USBSTOR\\Disk&Ven_&Prod_P\\S", "", "P", "", "S"},
      // Regression cases: a repeated part left the tail of the earlier, longer
      // text behind ("ABngston"), and a character whose low byte is 0 was
      // stored as a terminator with the rest of the part after it.
      {"repeated Ven_ part replaces the text whole", u"USBSTOR\\Disk&Ven_Kingston&Ven_AB\\S", "AB", "", "", "S"},
      {"repeated part that is empty", u"USBSTOR\\Disk&Prod_Stick&Prod_&Rev_1\\S", "", "", "1", "S"},
      {"zero character ends the vendor", u"USBSTOR\\Disk&Ven_AB\0CD&Prod_P\\S"s, "AB", "P", "", "S"},
      {"character with low byte 0 ends the product", u"USBSTOR\\Disk&Ven_V&Prod_AB\u0100CD&Rev_2\\S", "V", "AB", "2",
       "S"},
      {"text that starts with a zero character", u"USBSTOR\\Disk&Ven_\0X&Prod_P\\S"s, "", "P", "", "S"},
      {"zero character ends the serial", u"USBSTOR\\Disk&Ven_V\\S1\u0200S2&0"s, "V", "", "", "S1"},
      {"prefix after a zero character is not read", u"USBSTOR\\Disk&Ven_A\u0100Prod_X\\S", "A", "", "", "S"},
  };
  for (const IdentityCase& c : cases) {
    const DEVICE_IDENTITY id = Parse(c.name);
    EXPECT_EQ(id.vendor, c.vendor) << c.what;
    EXPECT_EQ(id.product, c.product) << c.what;
    EXPECT_EQ(id.revision, c.revision) << c.what;
    EXPECT_EQ(id.serial, c.serial) << c.what;
    // Every byte after a text's terminator is zero: the log copies all 64.
    for (const char* field : {id.vendor, id.product, id.revision, id.serial}) {
      for (size_t i = std::strlen(field); i < sizeof id.vendor; ++i) {
        EXPECT_EQ(field[i], 0) << c.what << ", byte " << i;
      }
    }
  }
}

TEST(ParseDeviceIdentity, LongFieldsAreCutTo63AndTheParseStaysAligned) {
  const std::u16string longVendor(70, u'V');
  const std::u16string longSerial(80, u'9');
  const DEVICE_IDENTITY id = Parse(u"USBSTOR\\Disk&Ven_" + longVendor + u"&Prod_Stick&Rev_2\\" + longSerial + u"&0");
  EXPECT_EQ(id.vendor, std::string(63, 'V'));
  EXPECT_STREQ(id.product, "Stick");
  EXPECT_STREQ(id.revision, "2");
  EXPECT_EQ(id.serial, std::string(63, '9'));
}

TEST(ParseDeviceIdentity, TextsEndInZeroBytesAndStoreLowBytes) {
  // A character above 0xFF is stored as its low byte; the rest of each field
  // stays zero, which the log copies along.
  const DEVICE_IDENTITY id = Parse(u"USBSTOR\\Disk&Ven_\u0141B&Prod_P\\S");
  EXPECT_EQ(static_cast<unsigned char>(id.vendor[0]), 0x41);
  EXPECT_EQ(id.vendor[1], 'B');
  for (int i = 2; i < 64; ++i) EXPECT_EQ(id.vendor[i], 0) << i;
}

TEST(ParseDeviceIdentity, NeverReadsPastTheCountedName) {
  // The counted name stops inside a field; the characters after it must not
  // be read (ASan reports the over-read of the exact-sized heap copy).
  const std::u16string full = u"USBSTOR\\Disk&Ven_Acme&Prod_Flash";
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    char16_t* buffer = new char16_t[cut == 0 ? 1 : cut];
    for (size_t i = 0; i < cut; ++i) buffer[i] = full[i];
    DEVICE_IDENTITY id;
    ParseDeviceIdentity(reinterpret_cast<const uint16_t*>(buffer), cut, &id);
    if (cut == full.size()) {
      EXPECT_STREQ(id.product, "Flash");
    }
    delete[] buffer;
  }
}

}  // namespace
