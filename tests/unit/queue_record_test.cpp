#include "spooler/queue_record.h"

#include "context/install_context.h"
#include "context/names.h"
#include "machine_fixture.h"

namespace {

using namespace std::string_literals;
const std::u16string kKey = u"Software\\Vantrel Software KFT\\Orvalstone";

class QueueRecordTest : public unit::MachineTest {
 public:
  void Put(const std::u16string& value, DWORD type, const std::u16string& text) {
    sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kKey, value, type, unit::Utf16Bytes(text, false));
  }
};

// A record no run wrote, or one of another type, is moved aside whole and read as failed;
// the run after finds none. One of ours is read back, a SubKey byte for byte.
TEST_F(QueueRecordTest, ForeignRecordsAreSetAsideAndOursReadBack) {
  const struct {
    const char* name;
    DWORD type;
    std::u16string text;
    bool read;
  } cases[] = {
      {"ours", REG_MULTI_SZ, u"N=Q\0K=k\xE9\0U=ds\0C=c\0L=l\0D=1\0Z=later\0\0"s, true},
      {"a text", REG_SZ, u"N=Q\0"s, false},
      {"a SubKey no byte holds", REG_MULTI_SZ, u"N=Q\0K=\x263A\0\0"s, false},
  };
  for (const auto& c : cases) {
    Fresh();
    Put(u"SavedQueues", c.type, c.text);
    unique_list<SavedPrinter> list;
    EXPECT_EQ(ReadSavedQueues(list), c.read) << c.name;
    EXPECT_EQ(GetLastError(), c.read ? GetLastError() : DWORD(ERROR_DATATYPE_MISMATCH)) << c.name;
    EXPECT_EQ(sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kKey, u"SavedQueues") != nullptr, c.read);
    const sim::RegValue* aside = sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kKey, kSavedQueuesAside);
    EXPECT_EQ(aside ? aside->data : std::vector<uint8_t>{},
              c.read ? std::vector<uint8_t>{} : unit::Utf16Bytes(c.text, false))
        << c.name;
    if (c.read) {
      ASSERT_TRUE(list);
      EXPECT_STREQ(list->SubKey.get(), "k\xE9");
      EXPECT_STREQ(list->DsUserSubKey.get(), "ds");
      EXPECT_TRUE(list->Default);
      // Written back in the record's own shape: one key per queue.
      EXPECT_TRUE(WriteSavedQueues(list.get()));
      EXPECT_EQ(sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kKey, u"SavedQueues"), nullptr);
      EXPECT_EQ(
          unit::Utf16Bytes(c.text.substr(0, c.text.find(u"Z="s)) + u'\0', false),
          sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kKey + u"\\SavedQueues\\Q", u"Queue")->data);
    }
  }
}

// A printer is recorded once however often it is parked.
TEST_F(QueueRecordTest, APrinterIsParkedOnce) {
  unique_list<ParkedPrinter> list;
  EXPECT_TRUE(AddParkedPrinter(list, u"Fax", u"Orvalstone:"));
  EXPECT_TRUE(AddParkedPrinter(list, u"Fax", u"LPT1:,Orvalstone:"));
  EXPECT_TRUE(WriteParkedPrinters(list.get()));
  EXPECT_EQ(MultiSz(HKEY_LOCAL_MACHINE, kKey, u"ParkedPrinters"),
            (unit::Texts{u"N=Fax", u"P=Orvalstone:"}));
}

}  // namespace
