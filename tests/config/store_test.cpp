// Flash and the configuration store against the simulated instrument. Flash: whole-region
// transfer, selection per generation, the status stream stopped and restarted around every
// transfer, short and refused replies (a refused selection and refused or missing write replies
// are rows of the fault matrix; the simulator's state file is proven by the tool test, across two
// runs). Store: generation flags per version text, loading (empty, foreign and unreadable
// documents), saving and reloading every accessor, the XML texts, the frequency factor on both
// generations and the gauge selection.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "config/xmllint.h"
#include "sim/controller_io.h"
#include "sim/flash.h"
#include "support/manual_clock.h"
#include "support/sim_fixture.h"
#include "support/zyl_test_peer.h"
#include "zyl/FlashMemory.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using sim::FaultKind;
using sim::FirmwareContext;

// The simulator's own configuration document with one element's text replaced.
std::string configurationWith(const std::string& element, const std::string& text) {
  std::string doc = sim::defaultConfiguration({});
  const size_t begin = doc.find("<" + element + ">") + element.size() + 2;
  doc.replace(begin, doc.find("</" + element + ">") - begin, text);
  return doc;
}

constexpr size_t kRegion = ZYL_FLASH_REGION_BYTES;

class StoreTest : public SimTest {
 protected:
  // A simulated instrument; `region0`/`region1` replace its flash content when given.
  void plug(const char* version = "VERSION130904A-V3", const char* region0 = nullptr,
            const char* region1 = nullptr) {
    SimTest::plug({.firmwareVersion = version});
    firmware([&](FirmwareContext& f) {
      if (region0) sim::flashOf(f).store(0, region0);
      if (region1) sim::flashOf(f).store(1, region1);
    });
  }
  sim::SimFlash flash() {
    return firmware([](FirmwareContext& f) { return sim::flashOf(f); });
  }
  // The commands the instrument received since the last call (flash data cut to their code).
  std::vector<std::string> commands() {
    std::vector<std::string> seen;
    for (const auto& e : instrument->trace())
      if (e.endpoint == sim::kCommandOut && e.ok) seen.push_back(e.text().substr(0, 7));
    instrument->clearTrace();
    return seen;
  }

  ManualClock clock;
};
using FlashTest = StoreTest;

TEST_F(FlashTest, SlotAddressesFollowTheRegionLayout) {
  ZylInterface z;
  struct Case {
    bool ion, groupA, alternate, full;
    size_t offset;
  } cases[] = {{true, true, false, false, 16896}, {true, false, true, true, 19968},
               {false, true, false, true, 20992}, {false, false, true, false, 12800},
               {false, true, true, false, 4608},  {false, false, true, true, 51712}};
  for (const Case& c : cases)
    EXPECT_EQ(
        ZylTestPeer::getFlashAddr(z, c.ion, c.groupA, c.alternate, c.full) - z.secondFlashImage,
        static_cast<ptrdiff_t>(c.offset));
}

TEST_F(FlashTest, RegionsRoundTripWithSelectionAndStreamStoppedAroundTransfers) {
  plug();
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  z.EnableStatusReporting(true);
  commands();

  std::vector<uint8_t> image(kRegion);
  for (size_t i = 0; i < kRegion; ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(z.WriteFlash(image.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(commands(),
            (std::vector<std::string>{"-1B3100", "-1B6301", "-1B60", "-1B62\x01\x08", "-1B3101"}));
  EXPECT_EQ(z.statusThreadRunning, 1u);
  EXPECT_EQ(flash().regions[1], image);

  std::vector<uint8_t> back(kRegion, 0xAA);
  ASSERT_EQ(z.ReadFlash(back.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(back, image);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B3100", "-1B6301", "-1B61", "-1B3101"}));
  ASSERT_EQ(z.ReadFlash(nullptr, 0), ZYL_SUCCESS);  // transferred, not copied
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B3100", "-1B6300", "-1B61", "-1B3101"}));
  z.EnableStatusReporting(false);
  commands();

  // Without a stream nothing is stopped or started; a short region reads as zero bytes after it.
  instrument->inject({.kind = FaultKind::ShortReply, .command = "61", .length = 100});
  ASSERT_EQ(z.ReadFlash(back.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B6301", "-1B61"}));
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 100, image.begin()));
  EXPECT_EQ(std::count(back.begin() + 100, back.end(), 0), static_cast<long>(kRegion - 100));

  // Every write reply but "ACK" is 3, also one that begins with it.
  instrument->inject({.kind = FaultKind::NotAck, .command = "62", .text = "ACKACK"});
  EXPECT_EQ(z.WriteFlash(image.data(), 1), ZYL_NOT_ACKNOWLEDGED);
  EXPECT_EQ(z.ReadFlash(back.data(), 5), ZYL_NOT_ACKNOWLEDGED);  // the instrument has two regions
  EXPECT_EQ(z.ReadFlash(back.data(), 100), ZYL_INVALID_ARGUMENT);
}

TEST_F(FlashTest, OlderFirmwareHasOneRegionAndNoSelection) {
  plug("VERSION102412");
  ZylInterface z;
  ASSERT_FALSE(z.hasSecondFlash);
  commands();
  std::vector<uint8_t> image(kRegion, 0x5A);
  ASSERT_EQ(z.WriteFlash(image.data(), 7), ZYL_SUCCESS);
  std::vector<uint8_t> back(kRegion);
  ASSERT_EQ(z.ReadFlash(back.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(back, image);
  EXPECT_EQ(flash().regions[0], image);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B60", "-1B62ZZ", "-1B61"}));
}

TEST_F(StoreTest, GenerationFlagsFollowTheVersionText) {
  struct Case {
    const char* version;
    bool v2, v3, after030512, secondFlash, heaterReadbacks;
  } cases[] = {
      {"VERSION130904A-V3", true, true, false, true, true},
      {"VERSION130904A-V2", true, false, true, true, true},
      {"VERSION110812", false, false, true, true, true},
      {"VERSION102412", false, false, true, false, true},  // 10 sorts before 11
      {"VERSION102312", false, false, true, false, false},
      {"VERSION030512", false, false, false, false, false},
      {"VERSION030513", false, false, true, false, false},
      {"VERSION1108", false, false, true, false, true},  // a prefix sorts first
      {"V3", false, false, false, false, false},         // too short for a suffix
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    plug(c.version);
    ZylInterface z;
    ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
    EXPECT_EQ((std::tuple<bool, bool, bool, bool, bool, bool, int>(
                  z.firmwareV2, z.IsV3(), z.firmwareAfter030512, z.hasSecondFlash,
                  z.piraniSelectSupported, z.heaterReadbacksInStatus, z.GetNumHeaterTypes())),
              std::tuple(c.v2, c.v3, c.after030512, c.secondFlash, c.secondFlash, c.heaterReadbacks,
                         c.v2 ? 3 : 2));
    // The simulator's own document: an internal gauge is selected where the firmware can.
    EXPECT_EQ(sent("-1B0601"), c.secondFlash ? 1 : 0);
    EXPECT_EQ(z.GetSerialNumber(), std::wstring(L"SIM0001"));
  }
  // One controller that is not a Watlow: no heater readbacks in the status.
  plug("VERSION110812", configurationWith("apciGasHeater", "Digital Board Built-In").c_str());
  ZylInterface z;
  EXPECT_EQ(z.GetAPCIGasHC(), HC_DigitalBoardBuiltIn);
  EXPECT_FALSE(z.heaterReadbacksInStatus);
}

TEST_F(StoreTest, EmptyOrForeignRegionsGiveInitialValues) {
  // Region 0 empty, region 1 a volatile document that does not read, a tune slot behind it.
  plug("VERSION130904A-V3", "",
       "<volatileFlashMemory><lastPumpDownTime>4.5</lastPumpDownTime></volatileFlashMemory>");
  instrument->withFirmware([](FirmwareContext& f) { sim::flashOf(f).regions[1][600] = 'T'; });
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  // The record's initial texts are proven by the record test; one of each kind here.
  EXPECT_EQ(std::tuple(z.GetSourcePSU(), z.GetCapillaryHC(), z.GetPiraniType(), z.GetFreqFact(),
                       int{z.GetMassPot()}),
            std::tuple(PSU_SpellmanMX8PN24720, HC_WatlowPM3, Pirani_External, 0x15000u, 0x7F));
  EXPECT_TRUE(sent("-1B2200015000") && sent("-1B0600"));
  // The unreadable volatile document was replaced in flash; the slots behind it were kept.
  EXPECT_EQ(z.GetLastPumpDownTime(), 0);
  const sim::SimFlash f = flash();
  EXPECT_EQ(f.text(1),
            "<volatileFlashMemory><lastPumpDownTime>0</lastPumpDownTime></volatileFlashMemory>");
  EXPECT_EQ(f.regions[1][600], 'T');
  std::string xml;
  ASSERT_TRUE(z.GetVolatileFlashXML(&xml));
  EXPECT_EQ(xml.size(), 512u + 2);
  EXPECT_EQ(xml.find("<volatileFlashMemory>\n<lastPumpDownTime>0</lastPumpDownTime>\n</vol"), 0u);
  EXPECT_EQ(xml.back(), '\0');

  // Frequency and massPot texts without leading hex digits read as the initial values.
  z.flashRecord->set_frequency(L"zz");
  z.flashRecord->set_massPot(L"1FFx");
  EXPECT_EQ(z.GetFreqFact(), 0x15000u);
  EXPECT_EQ(z.GetMassPot(), 0xFF);
}

TEST_F(StoreTest, EveryAccessorSurvivesSaveAndReload) {
  plug("VERSION130904A-V3");
  {
    ZylInterface z;
    // In order (a braced list is evaluated left to right), every one accepted.
    ASSERT_EQ(
        (std::array{z.SetPiraniType(Pirani_External), z.SetRfBoxType(RfBox_Original),
                    z.SetHousingType(Housing_Unknown), z.SetCapillaryHC(HC_DigitalBoardBuiltIn),
                    z.SetDesolvationGasHC(HC_Unknown), z.SetAPCIGasHC(HC_DigitalBoardBuiltIn),
                    z.SetSourcePSU(PSU_SensTechPS10), z.SetLensPSU(PSU_AppliedSC005RCD025),
                    z.SetDynodePSU(PSU_Unknown), z.SetHeadAmpType(HeadAmp_Fast),
                    z.SetSerialNumber(L"SN-\u00fc<&>"), z.SetQCData("<run id=\"7\">ok</run>"),
                    z.SetMassPot(5)}),
        (std::array<unsigned int, 13>{}));
    EXPECT_EQ((std::tuple<std::wstring, std::wstring, std::wstring>(
                  z.flashRecord->get_rfBoxType(), z.GetRfBoxTypeName(RfBox_Original),
                  z.flashRecord->get_massPot())),
              std::tuple(L"Original", L"FPGA Adjustable", L"05"));
    uint16_t readback = 0;
    ASSERT_EQ(z.SetFreqFact(0xABC, &readback), 0u);
    EXPECT_TRUE(sent("-1B2200000abc"));
    EXPECT_EQ(z.flashRecord->get_frequency(), L"00000ABC");
    EXPECT_EQ(readback, 0xAB);  // what the simulated RF box reads back
    EXPECT_EQ(z.ReadADC(5), 0xAB);
    ASSERT_EQ(z.SetLastPumpDownTime((int64_t{1} << 32) - 42), 0u);  // the low 32 bits: -42
    EXPECT_EQ(z.SetHeadAmpType(HeadAmpType(3)), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z.GetHeadAmpTypeName(HeadAmpType(3)), std::wstring());
    ASSERT_EQ(z.SaveToConfigFlash(), 0u);
    ASSERT_EQ(z.SaveToVolatileFlash(), 0u);

    // A document that would not fit the region is refused and changes nothing.
    const uint64_t writes = flash().writes;
    z.SetQCData(std::string(65536, 'q').c_str());
    EXPECT_EQ(z.SaveToConfigFlash(), 1u);
    EXPECT_EQ(flash().writes, writes);
    EXPECT_EQ(z.configFlashImage[0], '<');
  }
  ZylInterface z;
  EXPECT_EQ(std::tuple(z.GetPiraniType(), z.GetRfBoxType(), z.GetHousingType(), z.GetCapillaryHC(),
                       z.GetDesolvationGasHC(), z.GetAPCIGasHC()),
            std::tuple(Pirani_External, RfBox_Original, Housing_Unknown, HC_DigitalBoardBuiltIn,
                       HC_Unknown, HC_DigitalBoardBuiltIn));
  EXPECT_EQ(std::tuple(z.GetSourcePSU(), z.GetLensPSU(), z.GetDynodePSU(), z.GetHeadAmpType()),
            std::tuple(PSU_SensTechPS10, PSU_AppliedSC005RCD025, PSU_Unknown, HeadAmp_Fast));
  EXPECT_EQ((std::tuple<std::wstring, std::string, int, uint32_t, int64_t>(
                z.GetSerialNumber(), z.GetQCData(), z.GetMassPot(), z.GetFreqFact(),
                z.GetLastPumpDownTime())),
            std::tuple(L"SN-\u00fc<&>", "<run id=\"7\">ok</run>", 5, 0xABCu, -42));
  EXPECT_FALSE(z.heaterReadbacksInStatus);
  EXPECT_TRUE(sent("-1B0600"));

  // Stored texts are recognised whatever their case; a part of one is not.
  for (auto [text, type] : {std::pair{L"spellman mxp10pn/15", PSU_SpellmanMXP10PN15},
                            {L"SENS-TECH PS10", PSU_SensTechPS10},
                            {L"Spellman", PSU_Unknown}}) {
    z.flashRecord->set_sourcePSU(text);
    EXPECT_EQ(z.GetSourcePSU(), type);
  }
  // The stored text, one element per line; unsaved changes do not show.
  std::string xml;
  ASSERT_TRUE(z.GetConfigFlashXML(&xml));
  EXPECT_EQ(xml.find("<flashMemory version=\"1.0\">\n<hardwareVersion>Beta</hardwareVersion>\n"),
            0u);
  EXPECT_NE(xml.find("\n<qcData>\n<run id=\"7\">ok</run>\n</qcData>\n<piraniType>"),
            std::string::npos);
  EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n'), 18);

  // What the library wrote to the flash, and the text it shows of it, parse with xmllint.
  ZYL_REQUIRE_XMLLINT();
  for (const std::string& doc : {flash().text(0), flash().text(1), xml})
    EXPECT_TRUE(xml::testing::xmllintAccepts(doc)) << doc;
}

TEST_F(StoreTest, OlderFirmwareFrequencyReadbackComesFromTheStatus) {
  plug("VERSION102412");
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  EXPECT_FALSE(sent("-1B0601"));
  uint16_t readback = 0;
  ASSERT_EQ(z.SetFreqFact(0x12345, &readback), 0u);
  EXPECT_EQ(readback, 0x1234);
  {
    // A slow failed fetch: both steps go out (and fail), and the readback is 2.
    struct SlowClock : ManualClock {
      uint64_t monotonicMs() override {
        advance(3001);
        return ManualClock::monotonicMs();
      }
    } slow;
    instrument->clearTrace();
    instrument->inject({.kind = sim::FaultKind::FailedWrite, .command = "30", .times = 2});
    EXPECT_EQ(z.SetFreqFact(0x12345, &readback), 0u);
    EXPECT_EQ(readback, 2);
    const auto t = instrument->trace();
    EXPECT_EQ(std::count_if(t.begin(), t.end(), [](const auto& e) { return !e.ok; }), 2);
  }
  // No region 1: nothing saved, no volatile text.
  std::string xml;
  EXPECT_EQ(z.SaveToVolatileFlash(), 0u);
  EXPECT_FALSE(z.GetVolatileFlashXML(&xml));

  // A V3 readback that is not a number is refused with 1.
  plug("VERSION130904A-V3");
  ZylInterface v3;
  instrument->inject({.kind = sim::FaultKind::NotAck, .command = "22"});
  EXPECT_EQ(v3.SetFreqFact(0x15000, &readback), 1u);
}

}  // namespace
}  // namespace zyl::test
