// LoadFromConfigFlash from a configuration image already in memory (no flash read): the parse of
// the image into the record plus the two exchanges the load makes ("-1B22" with the frequency
// factor, "-1B0601" the gauge selection) with the simulated instrument. References in the same
// run: a memcpy of the image's text, a plain expat parse of the same bytes, and the same two
// exchanges alone, so the store's own share is load - exchanges.
// SaveToConfigFlash: the record written into the image and the image written to region 0, against
// the same flash write alone.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <cstring>
#include <string>

#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace {

// A configuration document; `qcBytes` of QC data make it fill as much of the region as wanted.
std::string document(size_t qcBytes) {
  std::string qc = "<qc date=\"2026-01-02\">";
  while (qc.size() + 40 < qcBytes) qc += "<test name=\"mass\">0.12345</test>";
  qc += "</qc>";
  return "<flashMemory version=\"1.0\"><hardwareVersion>Gamma</hardwareVersion>"
         "<frequency>00015000</frequency><massPot>7F</massPot>"
         "<sourcePSU>Spellman MX8PN24/720</sourcePSU><lensPSU>Applied MS009MZZ652</lensPSU>"
         "<dynodePSU>Spellman MXP10PN/15</dynodePSU>"
         "<capillaryHeater>Watlow PM3 Series</capillaryHeater>"
         "<desolvationGasHeater>Watlow PM3 Series</desolvationGasHeater>"
         "<apciGasHeater>Watlow PM3 Series</apciGasHeater><serialNumber>ZY-2026-000123"
         "</serialNumber><qcData>" +
         qc +
         "</qcData><piraniType>Internal</piraniType><housingType>Generation 2</housingType>"
         "<headAmpType>Fast Amp</headAmpType><rfBoxType>Si5351 Adjustable</rfBoxType>"
         "</flashMemory>";
}

// Argument 0: a typical document (QC data of a few hundred bytes); 1: QC data filling the region.
size_t qcBytes(const benchmark::State& state) {
  return state.range(0) == 0 ? 400 : 64000;
}

struct Connected {
  Connected() : instrument(std::make_shared<zyl::sim::Instrument>()) {
    zyl::usb::useBackend(std::make_shared<zyl::sim::SimBackend>(instrument));
    z = std::make_unique<ZylInterface>();
  }
  ~Connected() {
    z.reset();
    zyl::usb::useBackend(nullptr);
  }
  std::shared_ptr<zyl::sim::Instrument> instrument;
  std::unique_ptr<ZylInterface> z;
};

void BM_LoadFromConfigFlash(benchmark::State& state) {
  Connected c;
  ZylInterface& z = *c.z;
  if (!z.settingsLoaded) return state.SkipWithError("not connected");
  const std::string text = document(qcBytes(state));
  std::memcpy(z.configFlashImage, text.data(), text.size());
  std::memset(z.configFlashImage + text.size(), 0, sizeof z.configFlashImage - text.size());
  for (auto _ : state) {
    if (z.LoadFromConfigFlash() != ZYL_SUCCESS) state.SkipWithError("load");
  }
  if (z.GetSourcePSU() != PSU_SpellmanMX8PN24720 || z.GetQCData()[1] != 'q')
    state.SkipWithError("not loaded");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadFromConfigFlash)->Arg(0)->Arg(1);

// Reference: the two exchanges of the load, alone.
void BM_LoadExchangesOnly(benchmark::State& state) {
  Connected c;
  ZylInterface& z = *c.z;
  unsigned char reply[1024];
  for (auto _ : state) {
    long length = sizeof reply;
    if (z.ZylUSBExecuteCommand("-1B2200015000", reply, length, true, 10000, 10000) != 0 ||
        z.ZylUSBExecuteCommand("-1B0601", nullptr, ZylInterface::GlDummy, true, 10000, 10000) != 0)
      state.SkipWithError("exchange");
  }
}
BENCHMARK(BM_LoadExchangesOnly);

void BM_SaveToConfigFlash(benchmark::State& state) {
  Connected c;
  ZylInterface& z = *c.z;
  const std::string text = document(qcBytes(state));
  std::memcpy(z.configFlashImage, text.data(), text.size());
  std::memset(z.configFlashImage + text.size(), 0, sizeof z.configFlashImage - text.size());
  if (z.LoadFromConfigFlash() != ZYL_SUCCESS) return state.SkipWithError("load");
  for (auto _ : state) {
    if (z.SaveToConfigFlash() != ZYL_SUCCESS) state.SkipWithError("save");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SaveToConfigFlash)->Arg(0)->Arg(1);

// Reference: the flash write of the save, alone.
void BM_WriteFlashOnly(benchmark::State& state) {
  Connected c;
  ZylInterface& z = *c.z;
  for (auto _ : state) {
    if (z.WriteFlash(z.configFlashImage, 0) != ZYL_SUCCESS) state.SkipWithError("write");
  }
}
BENCHMARK(BM_WriteFlashOnly);

// Reference: expat over the same bytes, with handlers that only count.
void BM_PlainExpatParse(benchmark::State& state) {
  const std::string text = document(qcBytes(state));
  long elements = 0;
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &elements);
    XML_SetElementHandler(
        parser,
        [](void* count, const XML_Char*, const XML_Char**) { ++*static_cast<long*>(count); },
        nullptr);
    XML_SetCharacterDataHandler(parser, [](void*, const XML_Char*, int) {});
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK)
      state.SkipWithError("parse");
    XML_ParserFree(parser);
  }
  benchmark::DoNotOptimize(elements);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PlainExpatParse)->Arg(0)->Arg(1);

// Reference: copying the image's text.
void BM_MemcpyImageText(benchmark::State& state) {
  const std::string text = document(qcBytes(state));
  static unsigned char image[ZYL_FLASH_REGION_BYTES];
  for (auto _ : state) {
    std::memcpy(image, text.data(), text.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MemcpyImageText)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
