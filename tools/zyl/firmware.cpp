// zyl firmware update FILE: write a new firmware image, with a progress bar, and show the version
// the instrument reports afterwards.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "surface/checks.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/progress.h"
#include "tools/zyl/readfile.h"

namespace zyl::tool {

void addFirmwareCommand(CLI::App& app, Action& run) {
  CLI::App* firmware = addCommand(app, "firmware", "Replace the instrument's firmware",
                                  "zyl firmware update controller-130904A.bin");
  firmware->require_subcommand(1);
  CLI::App* update = addCommand(*firmware, "update", "Write a firmware image",
                                "zyl firmware update controller-130904A.bin");
  auto file = std::make_shared<std::string>();
  update->add_option("FILE", *file, "The firmware image")->required()->check(CLI::ExistingFile);
  update->callback([&run, file] {
    run = [file](Session& session) -> int {
      std::string bytes;
      if (std::string why = readWholeFile(*file, bytes); !why.empty())
        return session.fail(kUsage, why);
      if (std::string why = surface::checkNotEmpty("firmware image " + *file, bytes.size());
          !why.empty())
        return session.fail(kUsage, why);
      std::vector<unsigned char> image(bytes.begin(), bytes.end());
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      const std::string before = z.firmwareVersion;

      ProgressBar bar("firmware", static_cast<long>(image.size()));
      z.SetProgressCallback(&ProgressBar::report);
      const unsigned int status = z.UpdateFirmware(image.data(), static_cast<long>(image.size()));
      z.SetProgressCallback(nullptr);
      bar.finish();
      // Only the report after the last block goes beyond the image's length (by 1000).
      const bool complete = bar.lastReported() > static_cast<long>(image.size());

      char version[80] = "";
      long length = 0;
      z.GetFirmwareVersion(version, length);  // false once initialised; the text is what counts
      if (status != ZYL_SUCCESS) return session.result(status, "firmware update");
      // The end command may succeed after a refused block: only the final report says that
      // every block arrived.
      if (!complete)
        return session.fail(kRefused,
                            "firmware update cut short: the instrument refused a block; it now "
                            "reports " +
                                std::string(length > 0 ? version : "no version"));
      session.print({
          {"bytes", image.size()},
          {"previous_firmware", before},
          {"firmware", length > 0 ? version : "(the instrument did not answer)"},
      });
      return kOk;
    };
  });
}

}  // namespace zyl::tool
