// zyl flash read|write REGION FILE: one whole flash region between the instrument and a file.
#include <fstream>
#include <iterator>
#include <vector>

#include "surface/checks.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/output.h"
#include "tools/zyl/progress.h"
#include "tools/zyl/readfile.h"

namespace zyl::tool {
namespace {

constexpr size_t kRegionSize = ZYL_FLASH_REGION_BYTES;

int transfer(Session& session, bool write, int region, std::vector<unsigned char>& image) {
  ZylInterface& z = session.instrument();
  const std::string what = (write ? "flash write " : "flash read ") + std::to_string(region);
  const unsigned int status = runWithSpinner(
      what,
      [&] {
        return write ? z.WriteFlash(image.data(), region) : z.ReadFlash(image.data(), region);
      },
      [] { return std::string("65536 bytes"); });
  return session.result(status, what);
}

int readRegion(Session& session, int region, const std::string& file) {
  std::vector<unsigned char> image(kRegionSize, 0);
  OutputFile out;
  if (std::string why = out.open(file); !why.empty()) return session.fail(kUsage, why);
  if (file == "-") session.humanToStderr();  // standard output carries the image
  if (auto failed = session.requireInstrument()) return *failed;
  if (const int code = transfer(session, false, region, image); code != kOk) return code;
  out.stream().write(reinterpret_cast<const char*>(image.data()),
                     static_cast<std::streamsize>(image.size()));
  if (const int code = session.commit(out); code != kOk) return code;
  session.print({{"region", region}, {"saved_to", file}, {"bytes", kRegionSize}});
  return kOk;
}

int writeRegion(Session& session, int region, const std::string& file) {
  std::vector<unsigned char> image(kRegionSize, 0);
  std::string bytes;
  if (std::string why = readWholeFile(file, bytes); !why.empty()) return session.fail(kUsage, why);
  if (std::string why = surface::checkNotEmpty(file, bytes.size()); !why.empty())
    return session.fail(kUsage, why + "; a region is written from a file of 1 to 65536 bytes");
  if (bytes.size() > kRegionSize)
    return session.fail(kUsage, file + " holds " + std::to_string(bytes.size()) +
                                    " bytes, more than a region's 65536");
  std::copy(bytes.begin(), bytes.end(), image.begin());
  if (auto failed = session.requireInstrument()) return *failed;
  if (const int code = transfer(session, true, region, image); code != kOk) return code;
  session.print({{"region", region}, {"written_from", file}, {"bytes", kRegionSize}});
  return kOk;
}

}  // namespace

void addFlashCommand(CLI::App& app, Action& run) {
  CLI::App* flash =
      addCommand(app, "flash", "Copy a whole flash region (65,536 bytes) to or from a file",
                 "zyl --sim flash read 0 config.bin");
  flash->require_subcommand(1);
  for (const bool write : {false, true}) {
    CLI::App* sub =
        write ? addCommand(*flash, "write",
                           "Replace REGION with FILE (1 to 65536 bytes; a shorter file is padded "
                           "with zero bytes)",
                           "zyl --sim flash write 0 config.bin")
              : addCommand(*flash, "read", "Save REGION to FILE",
                           "zyl --sim flash read 1 volatile.bin");
    auto region = std::make_shared<int>(0);
    auto file = std::make_shared<std::string>();
    sub->add_option("REGION", *region, "0 configuration, 1 volatile data and tune slots")
        ->required()
        ->check(within(surface::kFlashRegion));
    sub->add_option("FILE", *file, write ? "File to write to the region" : "File to save to")
        ->required();
    sub->callback([&run, write, region, file] {
      run = [write, region, file](Session& session) {
        return write ? writeRegion(session, *region, *file) : readRegion(session, *region, *file);
      };
    });
  }
}

}  // namespace zyl::tool
