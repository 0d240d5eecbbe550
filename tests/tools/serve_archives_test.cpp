// veltra serve's archives against ecrsim: a backup made now is kept
// compressed and listed with what its header says, downloads as gzip, and
// restores onto the register through the same change path as an uploaded
// backup, by catalogue name only.
#include <array>
#include <filesystem>

#include "cmd/info_vars.hpp"
#include "gzip_file.hpp"
#include "serve_fixture.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

class ServeArchives : public ServeOnTwoRegisters, public ::testing::WithParamInterface<StoreKind> {
protected:
    void SetUp() override {
        ServeOnTwoRegisters::SetUp();
        if (!use_store(GetParam())) GTEST_SKIP() << store_.why_not();
    }
    // A backup of shop1 made now: the answer's archive object.
    Json archive_now() {
        auto r = client().post("/api/v1/registers/shop1/archives", "", "text/plain", kChange);
        EXPECT_TRUE(r);
        if (!r) return nullptr;
        EXPECT_EQ(r->status, 200) << r->body.substr(0, 400);
        const Json j = Json::parse(r->body);
        EXPECT_EQ(j["kind"], "archive save");
        return j["archive"];
    }
    fs::path folder() const { return fs::path(state_dir()) / "archives" / "shop1"; }
    std::string restore_path(const std::string& name) const {
        return "/api/v1/registers/shop1/archives/" + name + "/restore?confirm=1";
    }
};

TEST_P(ServeArchives, ABackupMadeNowIsKeptListedAndDownloaded) {
    start();
    const Json a = archive_now();
    ASSERT_TRUE(a.is_object());
    EXPECT_EQ(a["good"], true) << a.dump();
    EXPECT_EQ(a["plain_size"], kArchiveSize);
    const std::string name = a["name"];
    EXPECT_EQ(name.rfind("shop1-", 0), 0u) << name;
    EXPECT_EQ(fs::file_size(folder() / name), a["size"].get<std::uint64_t>());
    // The worker's plain file is gone; only the kept archive is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 1);
    const auto info = shop1_->info_values();
    EXPECT_EQ(a["version"], info[kInfoVersion]);
    EXPECT_EQ(a["release"], info[kInfoReleaseName]);

    const Json list = get_json("/api/v1/registers/shop1/archives");
    ASSERT_EQ(list["archives"].size(), 1u);
    EXPECT_EQ(list["archives"][0], a);
    EXPECT_TRUE(get_json("/api/v1/registers/shop2/archives")["archives"].empty());

    auto got = client().get("/api/v1/registers/shop1/archives/" + name);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->status, 200) << got->body.substr(0, 400);
    EXPECT_EQ(got->get_header_value("Content-Type"), "application/gzip");
    EXPECT_EQ(got->get_header_value("Content-Disposition"),
              "attachment; filename=\"" + name + "\"");
    // What downloads is an archive the library reads as its own.
    TempDir out;
    write_file(out.file("dl.gz"), got->body);
    tool::gunzip_file(out.file("dl.gz"), out.file("dl.dat"), kArchiveSize);
    std::array<char, ECR_DATI_INFO_BUFSIZE> org{}, mod{};
    std::array<char*, ECR_INFO_VARS> vars{};
    ASSERT_EQ(ecr_dati_info(out.file("dl.dat").c_str(), org.data(), mod.data(), vars.data()), 0);
    EXPECT_EQ(a["version"], vars[kInfoVersion]);
    const std::string plain = read_file(out.file("dl.dat"));
    const ecrsim::Bytes reparti = *shop1_->file("REPARTI.BIN");
    EXPECT_EQ(plain.substr(member_offset(2), kMembers[2].size),
              std::string(reparti.begin(), reparti.end()));
}

// A kept archive restored: the register's departments come back, the
// restore is a change in the journal with its verdict, and its key replays.
TEST_P(ServeArchives, AKeptArchiveRestoresAsAChange) {
    start();
    const ecrsim::Bytes saved = *shop1_->file("REPARTI.BIN");
    const Json a = archive_now();
    ASSERT_EQ(a["good"], true);
    ecrsim::Bytes changed = saved;
    changed[10] = static_cast<std::uint8_t>(changed[10] ^ 0x20);
    shop1_->put_file("REPARTI.BIN", changed);
    shop1_->clear_transcript();

    http::Headers h = kChange;
    h.emplace("Idempotency-Key", "restore-once");
    auto r = client().post(restore_path(a["name"]), "", "text/plain", h);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const Json job = Json::parse(r->body);
    EXPECT_EQ(job["kind"], "backup restore");
    EXPECT_EQ(job["verdict"], "applied");
    EXPECT_EQ(job["result"]["function"], "ecr_dati_restore");
    EXPECT_EQ(*shop1_->file("REPARTI.BIN"), saved);
    const std::size_t puts = changes_of(*shop1_);
    EXPECT_EQ(puts, 12u);

    const Json changes = get_json("/api/v1/jobs?changes=1");
    ASSERT_FALSE(changes["jobs"].empty());
    EXPECT_EQ(changes["jobs"][0]["id"], job["id"]);

    // The same key again: the first job answers, nothing more is sent.
    r = client().post(restore_path(a["name"]), "", "text/plain", h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(r->get_header_value("Idempotent-Replayed"), "true");
    EXPECT_EQ(Json::parse(r->body)["id"], job["id"]);
    EXPECT_EQ(changes_of(*shop1_), puts);
}

// Refused before anything reaches the register.
TEST_P(ServeArchives, RefusedRestoresSendNothing) {
    start();
    const Json a = archive_now();
    const std::string name = a["name"];
    shop1_->clear_transcript();
    struct Case {
        const char* what;
        std::string path;
        int status;
    };
    const Case cases[] = {
        {"without confirm", "/api/v1/registers/shop1/archives/" + name + "/restore", 400},
        {"a name not listed", restore_path("shop1-20000101-000000.dat.gz"), 404},
        {"another register's name",
         "/api/v1/registers/shop2/archives/" + name + "/restore?confirm=1", 404},
        {"a path", restore_path("..%2F..%2Fjournal.db"), 404},
        {"an unknown register", "/api/v1/registers/shop9/archives/" + name + "/restore?confirm=1",
         404},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = client().post(c.path, "", "text/plain", kChange);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << r->body;
    }
    auto dl = client().get("/api/v1/registers/shop1/archives/..%2F..%2Fjournal.db");
    ASSERT_TRUE(dl);
    EXPECT_EQ(dl->status, 404);

    // A kept archive damaged on disk afterwards is found out before the
    // register is touched.
    std::string gz = read_file((folder() / name).string());
    gz[gz.size() / 2] = static_cast<char>(gz[gz.size() / 2] ^ 0x55);
    write_file((folder() / name).string(), gz);
    auto r = client().post(restore_path(name), "", "text/plain", kChange);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 500) << r->body;
    EXPECT_NE(r->body.find("damaged on disk"), std::string::npos) << r->body;
    EXPECT_EQ(changes_of(*shop1_), 0u);
    EXPECT_EQ(setups_of(*shop1_), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeArchives, ::testing::ValuesIn(store_kinds()),
                         store_kind_name);

}  // namespace
}  // namespace veltra::test
