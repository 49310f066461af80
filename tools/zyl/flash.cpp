// zyl flash read|write REGION FILE: one whole flash region between the instrument and a file.
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/zyl/progress.h"
#include "tools/zyl/session.h"

namespace zyl::tool {

namespace {

constexpr size_t kRegionSize = ZYL_FLASH_REGION_BYTES;

}  // namespace

void addFlashCommand(CLI::App& app, Action& run) {
  CLI::App* flash =
      addCommand(app, "flash", "Copy a whole flash region (65,536 bytes) to or from a file",
                 "zyl --sim flash read 0 config.bin");
  flash->require_subcommand(1);
  for (const bool write : {false, true}) {
    CLI::App* sub =
        write ? addCommand(*flash, "write",
                           "Replace REGION with FILE (a shorter file is padded with zero bytes)",
                           "zyl --sim flash write 0 config.bin")
              : addCommand(*flash, "read", "Save REGION to FILE",
                           "zyl --sim flash read 1 volatile.bin");
    auto region = std::make_shared<int>(0);
    auto file = std::make_shared<std::string>();
    sub->add_option("REGION", *region, "0 configuration, 1 volatile data and tune slots")
        ->required()
        ->check(CLI::Range(0, 99));
    sub->add_option("FILE", *file, write ? "File to write to the region" : "File to save to")
        ->required();
    sub->callback([&run, write, region, file] {
      run = [write, region, file](Session& session) -> int {
        std::vector<unsigned char> image(kRegionSize, 0);
        OutputFile out;
        if (write) {
          std::ifstream in(*file, std::ios::binary);
          if (!in) return session.fail(kUsage, "cannot read " + *file);
          std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
          if (bytes.size() > kRegionSize)
            return session.fail(kUsage, *file + " holds " + std::to_string(bytes.size()) +
                                            " bytes, more than a region's " +
                                            std::to_string(kRegionSize));
          std::copy(bytes.begin(), bytes.end(), image.begin());
        } else if (std::string why = out.open(*file); !why.empty()) {
          return session.fail(kUsage, why);
        } else if (*file == "-") {
          session.humanToStderr();  // standard output carries the image
        }
        if (auto failed = session.requireInstrument()) {
          out.discard();
          return *failed;
        }
        ZylInterface& z = session.instrument();
        const std::string what = (write ? "flash write " : "flash read ") + std::to_string(*region);
        const unsigned int status = runWithSpinner(
            what,
            [&] {
              return write ? z.WriteFlash(image.data(), *region)
                           : z.ReadFlash(image.data(), *region);
            },
            [] { return std::to_string(kRegionSize) + " bytes"; });
        if (status != ZYL_SUCCESS) {
          out.discard();
          return session.result(status, what);
        }
        if (!write) {
          out.stream().write(reinterpret_cast<const char*>(image.data()),
                             static_cast<std::streamsize>(image.size()));
          if (!out.close()) return session.fail(kUsage, "cannot write " + *file);
        }
        session.print({{"region", *region},
                       {write ? "written_from" : "saved_to", *file},
                       {"bytes", kRegionSize}});
        return kOk;
      };
    });
  }
}

}  // namespace zyl::tool
