// Commands of the register's backups: one archive of its data files saved,
// inspected, extracted to a folder, and restored (which asks first).
#include <CLI/CLI.hpp>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>

#include "command_functions.hpp"
#include "command_table.hpp"
#include "gzip_file.hpp"
#include "internal.hpp"
#include "veltra.h"
#include "verdict.hpp"
#include "work_dir.hpp"

namespace veltra::tool {
namespace {

namespace fs = std::filesystem;

// What the extraction writes, as the library names the files.
constexpr const char* kMembers[] = {
    "INTESTAZIONE.BIN", "CORTESIA.BIN",   "REPARTI.BIN", "IVA.BIN",    "VAL.BIN",
    "OPERATORI.BIN",    "PROG_PARAM.BIN", "LOGO.BIN",    "BITMAP.BIN", "CLIENTI.BIN",
    "PLU.BIN",          "TAV_MIN.BIN",    "REPARTI.CSV", "PLU.CSV",    "CLIENTI.CSV",
};

struct Header {
    std::array<char, ECR_DATI_INFO_BUFSIZE> org{}, mod{};
    VarList vars{};
};

// The archive's header as --json and the text show it.
nlohmann::json header_json(const Header& h) {
    return {{"version", h.vars[kInfoVersion]},
            {"bitmap", h.vars[kInfoBitmapType]},
            {"release_name", h.vars[kInfoReleaseName]},
            {"generation", ecr_info_generation(h.vars)},
            {"info", info_fields(h.org.data())}};
}

std::string header_text(const Header& h) {
    std::string text =
        std::string("version ") + h.vars[kInfoVersion] + ", bitmap " + h.vars[kInfoBitmapType];
    if (*h.vars[kInfoReleaseName] != '\0')
        text += std::string(", release ") + h.vars[kInfoReleaseName];
    return text;
}

// An archive as the library reads it: the file itself, or, for a gzip
// file (told by its first bytes, not its name), the archive inflated into a
// private work folder that goes with this object. Throws GzipError for a
// gzip file that is damaged or inflates beyond an archive's size.
class PlainArchive {
public:
    explicit PlainArchive(const std::string& file) {
        if (!is_gzip(fs::path(file))) {
            path_ = file;
            return;
        }
        work_.emplace();
        path_ = work_->file("archive.dat");
        gunzip_file(file, path_, kArchiveSize);
    }
    const std::string& path() const { return path_; }

private:
    std::optional<WorkDir> work_;
    std::string path_;
};

// A gzip file that gives no archive: said plainly, nothing tried.
int gzip_failure(Context& ctx, const std::string& file, const GzipError& e) {
    if (ctx.json) ctx.emit({{"file", file}, {"error", e.what()}});
    ctx.err() << "veltra: " << file << ": " << e.what() << "\n";
    return kExitFailure;
}

std::int64_t size_of(const std::string& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
}

struct BackupSave {
    std::string file;

    void declare(CLI::App& app) {
        app.add_option("FILE", file, "the archive to write")->required();
        app.footer("An earlier FILE is replaced only by a complete archive.");
    }
    int run(Context& ctx) {
        const std::int32_t r = ecr_dati_save(file.c_str(), ctx.host());
        const std::int64_t size = r == 0 ? size_of(file) : -1;
        return ctx.finish("ecr_dati_save", r, false,
                          "backup of " + ctx.host_label() + " saved to " + file + " (" +
                              std::to_string(size) + " bytes)",
                          {{"file", file}, {"host", ctx.host_label()}, {"size", size}});
    }
};

struct BackupInfo {
    std::string file;

    void declare(CLI::App& app) {
        app.add_option("FILE", file, "the archive (plain or gzip)")->required();
    }
    int run(Context& ctx) {
        std::optional<PlainArchive> plain;
        try {
            plain.emplace(file);
        } catch (const GzipError& e) {
            return gzip_failure(ctx, file, e);
        }
        Header h;
        const std::int32_t r =
            ecr_dati_info(plain->path().c_str(), h.org.data(), h.mod.data(), h.vars.data());
        if (r != 0) return ctx.finish("ecr_dati_info", r, false, "", {{"file", file}});
        nlohmann::json extra = header_json(h);
        extra["file"] = file;
        std::ostringstream text;
        text << file << ": backup of a register of " << header_text(h) << "\ninfo variables:";
        int index = 0;
        for (const auto& f : extra["info"]) {
            text << "\n  " << (index < 10 ? " " : "") << index << " "
                 << f["name"].get<std::string>() << "=" << f["value"].get<std::string>();
            ++index;
        }
        return ctx.finish("ecr_dati_info", r, false, text.str(), extra);
    }
};

struct BackupExtract {
    std::string file;
    std::string dir;

    void declare(CLI::App& app) {
        app.add_option("FILE", file, "the archive (plain or gzip)")->required();
        app.add_option("DIR", dir, "the folder (made when missing)")->required();
    }
    int run(Context& ctx) {
        std::optional<PlainArchive> plain;
        try {
            plain.emplace(file);
        } catch (const GzipError& e) {
            return gzip_failure(ctx, file, e);
        }
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir)) throw UsageError{"DIR is not a folder: " + dir};
        const std::int32_t r = ecr_dati_extract(plain->path().c_str(), dir.c_str());
        std::vector<std::string> files;
        if (r == 0) {
            for (const char* m : kMembers) {
                if (fs::exists(fs::path(dir) / m)) files.emplace_back(m);
            }
        }
        return ctx.finish(
            "ecr_dati_extract", r, false,
            file + " extracted to " + dir + ": " + std::to_string(files.size()) + " files",
            {{"file", file}, {"dir", dir}, {"files", files}});
    }
};

}  // namespace

// A register of the short layout holds reduced files, which are not
// compared: they count as unreadable (ERR_INVALID_FILESIZE).
std::vector<RestoredFile> read_back_restore(const char* host, const std::string& archive) {
    // The library names a register file after the local one: the read-backs
    // go to a folder of their own.
    WorkDir work, back_dir;
    std::vector<RestoredFile> files;
    if (const std::int32_t r = ecr_dati_extract(archive.c_str(), work.dir().c_str()); r != 0) {
        files.push_back({archive, r, false});
        return files;
    }
    for (const veltra::Member& m : veltra::kMembers) {
        RestoredFile f{m.name, 0, false};
        const std::string back = back_dir.file(m.name);
        std::int32_t keep = 1;
        f.read_failure = ecr_get_table(host, back.c_str(), &keep);
        if (f.read_failure == 0) {
            const std::uintmax_t size = std::filesystem::file_size(work.file(m.name));
            std::vector<std::uint8_t> sent(size), held(size);
            if (file_read_exact(work.file(m.name).c_str(), sent) != 0 ||
                std::filesystem::file_size(back) != size)
                f.read_failure = ERR_INVALID_FILESIZE;
            else if (file_read_exact(back.c_str(), held) == 0)
                f.equal = sent == held;
            else
                f.read_failure = ERR_FILE_NOT_FOUND;
        }
        files.push_back(f);
    }
    return files;
}

namespace {

struct BackupRestore {
    std::string file;
    bool yes = false;

    void declare(CLI::App& app) {
        app.add_option("FILE", file, "the archive (plain or gzip)")->required();
        app.add_flag("--yes", yes, "restore without asking");
        app.footer("Every table and data file of the register is replaced by the archive's.\n\n" +
                   std::string(kVerdictHelp) +
                   "\nA lost answer is applied when each of the twelve files read back equals\n"
                   "the archive's.");
    }
    int run(Context& ctx) {
        // A bad archive is refused before anything is asked; a gzip one is
        // inflated whole first, so that no part of one is ever sent.
        std::optional<PlainArchive> plain;
        try {
            plain.emplace(file);
        } catch (const GzipError& e) {
            return gzip_failure(ctx, file, e);
        }
        const std::string& archive = plain->path();
        Header h;
        std::int32_t r = ecr_dati_info(archive.c_str(), h.org.data(), h.mod.data(), h.vars.data());
        if (r != 0) return ctx.finish("ecr_dati_info", r, false, "", {{"file", file}});
        nlohmann::json extra = {{"file", file}, {"host", ctx.host_label()}, {"restored", false}};
        if (!ctx.confirm(yes,
                         "Restore " + file + " (a register of " + header_text(h) +
                             ") onto the register at " + ctx.host_label() +
                             "? All its data files are replaced.",
                         "backup restore")) {
            ctx.err() << "veltra: not confirmed, nothing sent\n";
            return kExitFailure;
        }
        const std::optional<Fingerprint> before = ctx.read_before();
        r = ecr_dati_restore(archive.c_str(), ctx.host());
        Decision d;
        if (r == 0) {
            Reading after;
            if (Fingerprint fp; (after.failure = read_fingerprint(ctx.host(), fp)) == 0)
                after.fingerprint = fp;
            d = decide_acknowledged(before, after);
        } else {
            d = decide_restore(read_back_restore(ctx.host(), archive));
        }
        extra["restored"] = d.verdict == Verdict::applied;
        return ctx.finish_change("ecr_dati_restore", r, false,
                                 file + " restored onto " + ctx.host_label(), extra, d);
    }
};

}  // namespace

int backup_restore(Context& ctx, const std::string& file) {
    BackupRestore c{file, true};
    return c.run(ctx);
}

std::vector<Command> backup_commands() {
    return {
        command<BackupSave>({"backup", "save"},
                            "save the register's twelve data files as one archive FILE",
                            "ecr_dati_save", "veltra --host 192.168.1.20 backup save cassa.bak"),
        command<BackupInfo>(
            {"backup", "info"},
            "check an archive and show the register's INFO answer kept in its header",
            "ecr_dati_info", "veltra backup info cassa.bak --json"),
        command<BackupExtract>(
            {"backup", "extract"},
            "write an archive's twelve files and REPARTI.CSV, PLU.CSV, CLIENTI.CSV into DIR",
            "ecr_dati_extract", "veltra backup extract cassa.bak cassa-files"),
        command<BackupRestore>({"backup", "restore"},
                               "put an archive's twelve files back to the register (asks first)",
                               "ecr_dati_info, ecr_dati_restore",
                               "veltra --host 192.168.1.20 backup restore cassa.bak --yes"),
    };
}

}  // namespace veltra::tool
