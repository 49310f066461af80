// zyl tune get|set: the default tune parameters (or ion-source settings) kept in the
// instrument's flash, one document per slot position. `get FILE` on an empty slot leaves FILE as
// it was and exits 3, so that a script never takes an old file for the slot's document.
#include <iostream>
#include <vector>

#include "tools/zyl/commands.h"
#include "tools/zyl/output.h"
#include "tools/zyl/progress.h"
#include "tools/zyl/readfile.h"

namespace zyl::tool {

namespace {

struct TuneArgs {
  std::string group = "A";
  bool alternate = false;
  bool ion = false;
  bool clear = false;
  std::string file;
  bool groupA() const { return group == "A" || group == "a"; }
  std::string slotName() const {
    return std::string(ion ? "ion-source settings" : "tune parameters") + ", group " +
           (groupA() ? "A" : "B") + (alternate ? ", alternate slot" : ", first slot");
  }
};

void addSlotOptions(CLI::App* cmd, TuneArgs& a) {
  cmd->add_option("--group", a.group, "Slot group, A or B (default A)")
      ->check(CLI::IsMember({"A", "B", "a", "b"}));
  cmd->add_flag("--alternate", a.alternate, "The alternate slot of the group");
  cmd->add_flag("--ion", a.ion, "The ion-source settings instead of the tune parameters");
}

// Older firmware has one flash region only, and no room for default settings.
std::optional<int> requireSecondFlash(Session& session) {
  if (session.instrument().hasSecondFlash) return std::nullopt;
  return session.fail(kRefused, std::string("firmware ") + session.instrument().firmwareVersion +
                                    " keeps no default settings (it has no flash region 1)");
}

int getSlot(Session& session, const TuneArgs& a, OutputFile& file) {
  ZylInterface& z = session.instrument();
  if (auto failed = requireSecondFlash(session)) return *failed;
  std::vector<char> out(a.ion ? 1024 : 10240);
  // The image was read while connecting: the getters work on it in memory.
  const bool read = a.ion ? z.GetDefaultIonSourceOptimization(out.data(), a.groupA(), a.alternate)
                          : z.GetDefaultTuneParameters(out.data(), a.groupA(), a.alternate);
  if (!read) return session.fail(kRefused, "flash region 1 could not be read");
  const std::string text(out.data());
  if (file.wanted() && text.empty())
    return session.fail(kRefused, "the slot of the " + a.slotName() + " holds no document; " +
                                      a.file + " left as it was");
  if (file.wanted()) {
    file.stream() << text << "\n";
    if (const int code = session.commit(file); code != kOk) return code;
  }
  if (session.options().json) {
    session.print({{"slot", a.slotName()}, {"xml", text}});
  } else if (text.empty()) {
    std::cerr << "zyl: the slot of the " << a.slotName() << " holds no document\n";
  } else if (a.file.empty()) {
    std::cout << text << '\n';
  } else {
    session.print({{"slot", a.slotName()}, {"saved", a.file}, {"bytes", text.size()}});
  }
  return kOk;
}

int setSlot(Session& session, const TuneArgs& a) {
  ZylInterface& z = session.instrument();
  if (auto failed = requireSecondFlash(session)) return *failed;
  std::string text;
  if (!a.clear) {
    if (std::string why = readWholeFile(a.file, text); !why.empty())
      return session.fail(kUsage, why);
    // The slot takes text up to its first zero byte: nothing before it would erase the slot.
    if (text.empty() || text[0] == '\0')
      return session.fail(kUsage, a.file + " holds no document" +
                                      (text.empty() ? "" : " (it starts with a zero byte)") +
                                      "; to empty the slot use tune set --clear");
  }
  // The whole region is written back: it must hold what flash holds before one slot changes.
  if (unsigned int status = z.LoadDefaultTuneIonSettings(); status != ZYL_SUCCESS)
    return session.result(status, "reading flash region 1");
  const unsigned int stored =
      a.ion ? z.SetDefaultIonSourceOptimization(text.data(), a.groupA(), a.alternate)
            : z.SetDefaultTuneParameters(text.data(), a.groupA(), a.alternate);
  if (stored != ZYL_SUCCESS) {
    return session.fail(kUsage,
                        "the document was refused: it does not parse, its root is not \"" +
                            std::string(a.ion ? "ionSourceOptimization" : "tuneParameters") +
                            "\", or its stored form does not fit the slot");
  }
  const unsigned int saved =
      runWithSpinner("flash write 1", [&] { return z.SaveDefaultTuneIonSettings(); });
  if (saved != ZYL_SUCCESS) return session.result(saved, "writing flash region 1");
  session.print({{"slot", a.slotName()}, {"stored", a.clear ? "cleared" : a.file}});
  return kOk;
}

}  // namespace

void addTuneCommand(CLI::App& app, Action& run) {
  CLI::App* tune = addCommand(
      app, "tune", "Read or store the default tune parameters or ion-source settings kept in flash",
      "zyl --sim tune get --group B --alternate");
  tune->require_subcommand(1);
  auto a = std::make_shared<TuneArgs>();

  CLI::App* get = addCommand(*tune, "get", "Print a slot's document, or write it to FILE",
                             "zyl --sim tune get --ion ion.xml");
  addSlotOptions(get, *a);
  get->add_option("FILE", a->file, "Write the document here instead of printing it");
  get->callback([&run, a] {
    run = [a](Session& session) -> int {
      OutputFile file;
      if (!a->file.empty()) {
        if (std::string why = file.open(a->file); !why.empty()) return session.fail(kUsage, why);
      }
      if (auto failed = session.requireInstrument()) return *failed;
      return getSlot(session, *a, file);
    };
  });

  CLI::App* set = addCommand(*tune, "set",
                             "Store the XML document of FILE in a slot and save it: its root is "
                             "tuneParameters (ionSourceOptimization with --ion)",
                             "zyl --sim tune set --group A tune.xml");
  addSlotOptions(set, *a);
  CLI::Option* file = set->add_option(
      "FILE", a->file,
      "The XML document to store, root element tuneParameters or (--ion) ionSourceOptimization");
  set->add_flag("--clear", a->clear, "Empty the slot instead")->excludes(file);
  set->callback([&run, a, file] {
    if (!a->clear && file->count() == 0) throw CLI::RequiredError("FILE or --clear");
    run = withInstrument([a](Session& session, ZylInterface&) { return setSlot(session, *a); });
  });
}

}  // namespace zyl::tool
