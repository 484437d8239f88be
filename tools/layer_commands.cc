// dembase rm, mv and cp: whole layers. Within the local store the library deletes, renames
// and copies a layer's files itself; any other pair of stores is copied through the
// exports (layer_copy.h), and a move deletes its source only once the copy is verified.
#include <fcntl.h>
#include <stdio.h>  // renameat2

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "tools/commands.h"
#include "tools/file_probe.h"
#include "tools/layer_copy.h"
#include "tools/new_layer.h"
#include "tools/session.h"
#include "tools/text_format.h"

namespace dembase::tool {
namespace {

namespace fs = std::filesystem;

// A local layer named as a source: its header must be there and be a regular file.
Status CheckLocalSource(const LayerRef& ref) {
  switch (KindOf(ref.headerPath)) {
    case FileKind::kMissing: return Error(ref.headerPath, "no such layer");
    case FileKind::kOther: return Error(ref.headerPath, "not a regular file");
    case FileKind::kRegular: return {};
  }
  return {};
}

// Why the library answered 0 for a layer it was asked to change.
std::string WhyRefused(Session& session, const LayerRef& ref) {
  if (ref.local()) {
    return HeldOpenElsewhere(ref.headerPath) ? "open in another process; try again once it closes"
                                             : "its files could not be changed (dembase check " + ref.text +
                                                   " tells more)";
  }
  const int32_t id = _hxOpenDataLayer(session.handle(), session.dataSet(), ref.name.c_str(), 0);
  if (id < 1) return "no such layer in data set " + std::string(ref.connection.dataSet) + ", or its records are damaged";
  if (_hxCloseDataLayer(session.handle(), session.dataSet(), id) != 1) return "it cannot be closed again";
  return "open in another process, or the database refused";
}

// The layer, and in the local store its reference system.
Status DeleteLayer(Session& session, const LayerRef& ref) {
  const int16_t r = _hxDeleteDataLayer(session.handle(), session.dataSet(), ref.libraryName().c_str());
  if (r != 1) {
    return Error(ref.local() ? ref.headerPath : ref.text, "cannot delete: " + ResultText(r, WhyRefused(session, ref)));
  }
  std::error_code ec;
  if (ref.local() && !fs::remove(ref.crsPath, ec) && ec) {
    return Error(ref.crsPath, "the layer is deleted, but not its reference system: " + ec.message());
  }
  return {};
}

std::string Summary(const CopyOutcome& c) {
  return Count(c.levels, "level") + ", " + Count(c.tilesStored + c.tilesEmpty, "tile") + " (" +
         std::to_string(c.tilesEmpty) + " of them empty)";
}

void PrintNotes(const LayerRef& from, const LayerRef& to, const CopyOutcome& c) {
  if (c.renumbered) {
    std::printf("the levels of %s are numbered 1 .. %d in %s: a local layer's level numbers have no gaps\n",
                from.text.c_str(), c.levels, to.text.c_str());
  }
  if (c.crsDropped) std::printf("reference system not kept: a database layer has no place for one\n");
}

StatusOr<CopyOutcome> CopyAcross(const LayerRef& from, const LayerRef& to, bool verify, const ToolOptions& options) {
  if (from.local()) {
    if (Status s = CheckLocalSource(from); !s.ok()) return s;
  }
  return CopyThroughExports(from, to, verify, options.quiet);
}

// Through the exports, then the source goes.
int MoveAcross(const LayerRef& from, const LayerRef& to, const ToolOptions& options) {
  if (from.local() && HeldOpenElsewhere(from.headerPath)) {
    return Finish(Error(from.text, "open in another process; move it once that process has closed it"));
  }
  StatusOr<CopyOutcome> copied = CopyAcross(from, to, true, options);
  if (!copied.ok()) return Finish(copied.status());
  Status deleted;
  {
    StatusOr<std::unique_ptr<Session>> session = Session::Open(from);
    deleted = session.ok() ? DeleteLayer(**session, from) : session.status();
  }
  if (!deleted.ok()) {
    return Finish(Status::Error("copied " + from.text + " to " + to.text + " and verified it, but the source stays: " +
                                deleted.message()));
  }
  std::printf("moved %s to %s: %s\n", from.text.c_str(), to.text.c_str(), Summary(*copied).c_str());
  PrintNotes(from, to, *copied);
  return 0;
}

// Renames the reference system beside the renamed layer; the library's rename is undone
// when it cannot follow, so the layer never parts from it.
Status MoveCrs(Session& session, const LayerRef& from, const LayerRef& to) {
  if (!Occupied(from.crsPath)) return {};
  if (renameat2(AT_FDCWD, from.crsPath.c_str(), AT_FDCWD, to.crsPath.c_str(), RENAME_NOREPLACE) == 0) return {};
  const int err = errno;
  std::string cause = std::strerror(err);
  if (err == EXDEV) {  // another file system: copied, then the old one goes
    std::error_code ec;
    if (fs::copy_file(from.crsPath, to.crsPath, fs::copy_options::none, ec) && fs::remove(from.crsPath, ec)) return {};
    cause = ec.message();
    if (ec != std::errc::file_exists) fs::remove(to.crsPath, ec);  // a partial copy of ours
  }
  const int16_t back =
      _hxRenameDataLayer(session.handle(), session.dataSet(), to.headerPath.c_str(), from.headerPath.c_str());
  if (back != 1) {
    return Error(from.crsPath, "cannot follow the layer to " + to.crsPath + " (" + cause +
                                   "), and the layer cannot be renamed back from " + to.headerPath);
  }
  return Error(from.crsPath, "cannot be renamed to " + to.crsPath + " (" + cause + "); nothing was moved");
}

struct MoveArgs {
  std::string from;
  std::string to;
};

int RunMove(const MoveArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> from = ParseLayerRef(a.from);
  if (!from.ok()) return Finish(from.status());
  StatusOr<LayerRef> to = ParseLayerRef(a.to);
  if (!to.ok()) return Finish(to.status());
  if (!from->local() || !to->local()) return MoveAcross(*from, *to, options);
  if (Status s = CheckLocalSource(*from); !s.ok()) return Finish(s);
  if (Status s = CheckLocalTarget(*to); !s.ok()) return Finish(s);
  StatusOr<std::unique_ptr<Session>> session = Session::Open(*from);
  if (!session.ok()) return Finish(session.status());
  int16_t r = 0;
  {
    StatusOr<std::unique_ptr<NewLayer>> made = NewLayer::Begin(**session, *to);  // makes a missing directory
    if (!made.ok()) return Finish(made.status());
    r = _hxRenameDataLayer((*session)->handle(), (*session)->dataSet(), from->headerPath.c_str(),
                           to->headerPath.c_str());
    if (r == 1) (*made)->Keep();
  }
  if (r != 1) {
    return Finish(Error(from->headerPath,
                        "cannot rename to " + to->headerPath + ": " + ResultText(r, WhyRefused(**session, *from))));
  }
  if (Status s = MoveCrs(**session, *from, *to); !s.ok()) return Finish(s);
  std::printf("renamed %s to %s\n", from->text.c_str(), to->text.c_str());
  return 0;
}

struct CopyArgs {
  std::string from;
  std::string to;
};

int RunCopy(const CopyArgs& a, const ToolOptions& options) {
  StatusOr<LayerRef> from = ParseLayerRef(a.from);
  if (!from.ok()) return Finish(from.status());
  StatusOr<LayerRef> to = ParseLayerRef(a.to);
  if (!to.ok()) return Finish(to.status());
  if (!from->local() || !to->local()) {
    StatusOr<CopyOutcome> copied = CopyAcross(*from, *to, false, options);
    if (!copied.ok()) return Finish(copied.status());
    std::printf("copied %s to %s: %s\n", from->text.c_str(), to->text.c_str(), Summary(*copied).c_str());
    PrintNotes(*from, *to, *copied);
    return 0;
  }
  if (Status s = CheckLocalSource(*from); !s.ok()) return Finish(s);
  if (Status s = CheckLocalTarget(*to); !s.ok()) return Finish(s);
  StatusOr<std::unique_ptr<Session>> session = Session::Open(*from);
  if (!session.ok()) return Finish(session.status());
  StatusOr<std::unique_ptr<NewLayer>> made = NewLayer::Begin(**session, *to);
  if (!made.ok()) return Finish(made.status());
  const int16_t r =
      _hxCopyDataLayer((*session)->handle(), (*session)->dataSet(), from->headerPath.c_str(), to->headerPath.c_str());
  if (r != 1) {
    return Finish(Error(from->headerPath,
                        "cannot copy to " + to->headerPath + ": " + ResultText(r, WhyRefused(**session, *from))));
  }
  (*made)->Own();
  std::error_code ec;
  if (Occupied(from->crsPath) && !fs::copy_file(from->crsPath, to->crsPath, fs::copy_options::none, ec)) {
    return Finish(Error(to->crsPath, "cannot copy the reference system: " + ec.message()));
  }
  (*made)->Keep();
  std::printf("copied %s to %s\n", from->text.c_str(), to->text.c_str());
  return 0;
}

struct RemoveArgs {
  std::string layer;
};

int RunRemove(const RemoveArgs& a) {
  StatusOr<LayerRef> ref = ParseLayerRef(a.layer);
  if (!ref.ok()) return Finish(ref.status());
  // A damaged local layer is deleted without being opened: rm is how it goes.
  if (ref->local()) {
    if (Status s = CheckLocalSource(*ref); !s.ok()) return Finish(s);
  }
  StatusOr<std::unique_ptr<Session>> session = Session::Open(*ref);
  if (!session.ok()) return Finish(session.status());
  if (Status s = DeleteLayer(**session, *ref); !s.ok()) return Finish(s);
  std::printf("deleted %s\n", ref->text.c_str());
  return 0;
}

constexpr const char* kLayerHelp = "(DIR/NAME or sqlite:PATH#DATASET/NAME)";

}  // namespace

Command AddRemoveCommand(CLI::App& parent, const ToolOptions&) {
  auto a = std::make_shared<RemoveArgs>();
  CLI::App* app = parent.add_subcommand("rm", "Delete a layer with all its levels");
  app->footer(
      "A local layer's files go with it, its reference system (DIR/NAME.prj) too. A layer that is open,\n"
      "here or in another process, is not deleted.\n"
      "Example: dembase rm maps/elev");
  app->add_option("layer", a->layer, std::string("Layer ") + kLayerHelp)->required();
  return {app, [a] { return RunRemove(*a); }};
}

Command AddMoveCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<MoveArgs>();
  CLI::App* app = parent.add_subcommand("mv", "Rename a layer, or move it to another store");
  app->footer(
      "Within the local store the layer's files are renamed (into another directory too) and its\n"
      "reference system follows. Into, out of or within a database the layer is copied, the copy read\n"
      "back and compared, and only then is the source deleted. A target that exists is refused.\n"
      "Example: dembase mv maps/elev sqlite:dems.db#alpha/elev");
  app->add_option("from", a->from, std::string("Layer to move ") + kLayerHelp)->required();
  app->add_option("to", a->to, "Its new name")->required();
  return {app, [a, &options] { return RunMove(*a, options); }};
}

Command AddCopyCommand(CLI::App& parent, const ToolOptions& options) {
  auto a = std::make_shared<CopyArgs>();
  CLI::App* app = parent.add_subcommand("cp", "Copy a layer, within a store or to another one");
  app->footer(
      "Every level is copied with the same cells; empty tiles stay empty. A copy appears only when it\n"
      "is complete. A database layer cannot keep a reference system; a local copy of a database layer\n"
      "numbers its levels 1 .. n. A target that exists is refused.\n"
      "Example: dembase cp maps/elev sqlite:dems.db#alpha/elev");
  app->add_option("from", a->from, std::string("Layer to copy ") + kLayerHelp)->required();
  app->add_option("to", a->to, "The copy's name")->required();
  return {app, [a, &options] { return RunCopy(*a, options); }};
}

}  // namespace dembase::tool
