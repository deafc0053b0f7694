// Every truncation and every single-byte change of a small mesh, through the reader and through a
// whole conversion; run under the sanitizers by scripts/test-sanitized.sh.
#include <unistd.h>

#include <gtest/gtest.h>

#include "convert.h"
#include "map_writer.h"
#include "readers.h"
#include "run_program.h"

namespace {

std::string small_mesh()
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 2; i++) {
        written_polygon p = {};
        for (int c = 0; c < 4; c++) {
            p.position[c] = {int16_t(c * 100), int16_t(-i * 50), int16_t((c >> 1) * 100)};
            p.normal[c] = {0, -100, 0};
            p.uv[c] = {uint8_t(c * 80), uint8_t(c * 60)};
        }
        p.page_byte = uint8_t(i + 1);
        m.tex_tris.push_back(p);
        m.tex_quads.push_back(p);
        m.untex_tris.push_back(p);
        m.untex_quads.push_back(p);
    }
    return write_map_mesh(m);
}

// Works inside a scratch folder and goes back when done.
struct inside_folder {
    scratch_folder folder;
    char previous[4096];
    inside_folder()
    {
        EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
        EXPECT_EQ(chdir(folder.path.c_str()), 0);
    }
    ~inside_folder() { EXPECT_EQ(chdir(previous), 0); }
};

}  // namespace

TEST(Robustness, EveryChangedByteOfAMeshIsReadSafely)
{
    std::string bytes = small_mesh();
    for (size_t at = 0; at < bytes.size(); at++)
        for (int change : {0x01, 0x80, 0xFF}) {
            std::string changed = bytes;
            changed[at] = char(changed[at] ^ change);
            decoded_mesh d = decode_mesh_bytes(changed);
            if (d.result == 0) {
                // Whatever it accepts is consistent with its counts.
                ASSERT_EQ(d.mesh.tex_positions.size(), textured_triangle_count(d.mesh.counts));
                ASSERT_EQ(d.mesh.untex_positions.size(), untextured_triangle_count(d.mesh.counts));
            }
        }
}

TEST(Robustness, EveryTruncatedOrChangedMeshConvertsOrFailsCleanly)
{
    inside_folder inside;
    ASSERT_EQ(write_file("t", std::string(131072, '\x5a')), 0);
    std::string bytes = small_mesh();
    worker_buffers work;
    sheet_cache sheets;
    pair_options options;
    auto convert_once = [&](const std::string& mesh_bytes) {
        EXPECT_EQ(write_file("m", mesh_bytes), 0);
        converted_pair pair;
        pair_result result = convert("m", "t", &options, &sheets, &work, &pair);
        EXPECT_NE(result, pair_stop_run);
        // Done: the sheet, the OBJ and the MTL wait under temporary names. Failed: nothing does.
        size_t finished = 0;
        for (const pair_output& out : pair.outputs)
            finished += !out.file.temp_name.empty();
        EXPECT_EQ(finished, result == pair_done ? 3u : 0u);
        discard_pair(&pair);
        return result;
    };
    for (size_t n = 0; n < bytes.size(); n++)
        ASSERT_EQ(convert_once(bytes.substr(0, n)), pair_failed) << n;
    ASSERT_EQ(convert_once(bytes), pair_done);
    for (size_t at = 0; at < bytes.size(); at++) {
        std::string changed = bytes;
        changed[at] = char(changed[at] ^ 0xA5);
        convert_once(changed);
    }
    // Nothing is left behind but the two inputs.
    EXPECT_EQ(list_names(".").size(), 2u);
}

TEST(Robustness, TruncatedSheetsAreRefused)
{
    std::string sheet(131072, '\x0d');
    texture_work work;
    for (size_t n = 0; n < sheet.size(); n += (n < 1024 ? 1 : 1021)) {
        byte_source source = memory_source(sheet.data(), n);
        read_problem problem;
        ASSERT_EQ(read_texture_sheet(&source, &work, &problem), -1) << n;
        ASSERT_EQ(problem.reason, "not a texture sheet (" + std::to_string(n) + (n == 1 ? " byte" : " bytes") +
                                      "; a sheet has 131,072)");
        ASSERT_EQ(problem.error, 0);
    }
    byte_source source = memory_source(sheet.data(), sheet.size());
    read_problem problem;
    EXPECT_EQ(read_texture_sheet(&source, &work, &problem), 0);
}

TEST(Robustness, ANameThatHoldsAFileAlreadyIsNeverATemporary)
{
    // A leftover of a dead process whose number and token came round again bears the name the
    // next temporary would take: it is never written into nor renamed over an output. (CTest runs
    // each test in a process of its own, whose first temporaries are numbered from 0.)
    inside_folder inside;
    choose_temporary_token(0x5eed);
    std::string planted = ".mapconv-" + std::to_string(process_number()) + "-5eed-";
    for (int n = 0; n < 50; n++)
        ASSERT_EQ(write_file(planted + std::to_string(n) + ".tmp", "somebody else's"), 0);
    output_file out;
    ASSERT_EQ(output_create(&out), 0);
    EXPECT_EQ(output_write(&out, "mine", 4), 0);
    ASSERT_EQ(output_commit(&out, "out.txt"), 0);
    EXPECT_EQ(read_file("out.txt"), "mine");
    for (int n = 0; n < 50; n++)
        EXPECT_EQ(read_file(planted + std::to_string(n) + ".tmp"), "somebody else's") << n;
    choose_temporary_token(random_token());
}
