// Several pairs at once give exactly what one pair after another gives.
#include <unistd.h>

#include <filesystem>

#include <map>
#include <new>
#include <set>

#include <gtest/gtest.h>

#include "beside.h"
#include "convert.h"
#include "gltf/encode_glb.h"
#include "map_writer.h"
#include "run_program.h"
#include "test_maps.h"

namespace {

std::string mesh_with_tint(int tint, int quads)
{
    written_mesh m = empty_mesh();
    for (int i = 0; i < 256; i++)
        m.palette_words[i] = colour_word(i + tint, tint * 3, 31 - i);
    for (int q = 0; q < quads; q++) {
        written_polygon p = cell_quad(q % 16, tint, q / 16);
        p.palette_byte = uint8_t(q);
        m.tex_quads.push_back(p);
    }
    return write_map_mesh(m);
}

int bands(int x, int y, void* context)
{
    return (x / 8 + y / 16 + *static_cast<int*>(context)) & 15;
}

std::string sheet(int seed)
{
    return write_texture(bands, &seed);
}

// Every entry of the folder: name to content (folders are marked).
std::map<std::string, std::string> snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const std::string& name : list_names(folder)) {
        bool is_folder = std::filesystem::is_directory(std::filesystem::symlink_status(folder + "/" + name));
        files[name] = is_folder ? "<folder>" : read_file(folder + "/" + name);
    }
    return files;
}

void remove_outputs(const std::string& folder, const std::set<std::string>& inputs)
{
    for (const std::string& name : list_names(folder))
        if (!inputs.count(name))
            unlink((folder + "/" + name).c_str());
}

// Runs the folder with -j 1 and with each other job count, and compares everything.
void expect_same_for_every_job_count(const std::string& folder, const std::vector<std::string>& extra_args)
{
    std::set<std::string> inputs;
    for (const std::string& name : list_names(folder))
        inputs.insert(name);
    auto run_with = [&](const char* jobs) {
        std::vector<std::string> args = {"-j", jobs};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        args.push_back("p");
        program_run run = run_mapconv(folder, args);
        std::map<std::string, std::string> files = snapshot(folder);
        remove_outputs(folder, inputs);
        return std::make_pair(run, files);
    };
    auto one = run_with("1");
    for (const char* jobs : {"2", "3", "8"}) {
        auto many = run_with(jobs);
        EXPECT_EQ(many.first.out, one.first.out) << jobs;
        EXPECT_EQ(many.first.err, one.first.err) << jobs;
        EXPECT_EQ(many.first.status, one.first.status) << jobs;
        EXPECT_TRUE(many.second == one.second) << jobs;
    }
}

// One pair converted in memory by a worker with these buffers: its outputs by name.
std::map<std::string, std::string> converted_in_memory(const std::string& mesh, const std::string& texture,
                                                       const pair_options& options, worker_buffers* work)
{
    sheet_cache sheets;
    converted_pair pair;
    byte_source m = memory_source(reinterpret_cast<const uint8_t*>(mesh.data()), mesh.size());
    byte_source t = memory_source(reinterpret_cast<const uint8_t*>(texture.data()), texture.size());
    EXPECT_EQ(convert_bytes("m.msh", &m, "t.tex", &t, &options, &sheets, work, &pair), pair_done);
    std::map<std::string, std::string> outputs;
    for (const pair_output& out : pair.outputs)
        outputs[out.name] = std::string(out.bytes.begin(), out.bytes.end());
    return outputs;
}

}  // namespace

// A mesh's OBJ text is streamed, or made whole and kept for the mesh's next pair, with a core idle
// or not. Each gives the streamed bytes, and kept text is never another mesh's or another
// grouping's.
TEST(ParallelPairs, KeptObjTextIsTheStreamedText)
{
    // Two meshes of one size, and one whose terrain turns clockwise, which --face-up turns.
    std::string meshes[3] = {mesh_with_tint(1, 40), mesh_with_tint(2, 40), write_map_mesh(hill_mesh(true))};
    std::string texture = sheet(0);
    worker_buffers beside_work, kept_work;        // across groupings, as no run goes
    for (int flags : {0, 1, 3, 2, 6, 7, 5, 4}) {  // one option changed at a time
        pair_options streamed;
        streamed.quiet = 1;
        streamed.all_palettes = flags & 1;
        streamed.face_up = (flags >> 1) & 1;
        streamed.glb = glb_built_in && (flags & 4);
        pair_options beside = streamed, kept = streamed;
        beside.spare_cores = 1;
        kept.pairs_per_mesh = 3;
        worker_buffers streamed_work;
        for (int m : {2, 0, 1, 1, 2}) {
            std::map<std::string, std::string> want = converted_in_memory(meshes[m], texture, streamed, &streamed_work);
            EXPECT_EQ(converted_in_memory(meshes[m], texture, beside, &beside_work), want) << flags << m;
            EXPECT_EQ(converted_in_memory(meshes[m], texture, kept, &kept_work), want) << flags << m;
        }
    }
}

TEST(ParallelPairs, SameAsOneAtATimeWithSharedSheetsAndFailures)
{
    scratch_folder folder;
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(write_file(folder / ("pm" + std::to_string(i)), mesh_with_tint(i, 40 + i * 30)), 0);
    written_mesh zero = empty_mesh();
    ASSERT_EQ(write_file(folder / "pmzero", write_map_mesh(zero)), 0);  // rejected mesh
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(write_file(folder / ("pt" + std::to_string(i)), sheet(i)), 0);
    ASSERT_EQ(write_file(folder / "ptshort", "short"), 0);  // refused sheet
    ASSERT_EQ(make_folder(folder / "ptdir"), 0);            // cannot be opened
    ASSERT_EQ(make_folder(folder / "pm2_pt1.obj"), 0);      // one OBJ cannot be put in place
    expect_same_for_every_job_count(folder.path, {});
    expect_same_for_every_job_count(folder.path, {"--all-palettes", "--glb"});
}

TEST(ParallelPairs, APngFailureInTheMiddleEndsTheRunAtThatPair)
{
    scratch_folder folder;
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(write_file(folder / ("pm" + std::to_string(i)), mesh_with_tint(i, 200)), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(write_file(folder / ("pt" + std::to_string(i)), sheet(i)), 0);
    // The sheet listed last cannot be written: the first mesh's pairs run up to it, and nothing
    // of the pairs after it may be left behind.
    std::string last_sheet;
    for (const std::string& name : list_names(folder.path))
        if (name.rfind("pt", 0) == 0)
            last_sheet = name;
    ASSERT_EQ(make_folder(folder / (last_sheet + "_tex_0.png")), 0);
    program_run probe = run_mapconv(folder.path, {"-j", "1", "p"});
    EXPECT_EQ(probe.status, 255);
    EXPECT_EQ(probe.err, "mapconv: " + last_sheet + "_tex_0.png: Is a directory\n");
    std::set<std::string> inputs;
    for (const std::string& name : list_names(folder.path))
        if (name.find('_') == std::string::npos || name == last_sheet + "_tex_0.png")
            inputs.insert(name);
    remove_outputs(folder.path, inputs);
    expect_same_for_every_job_count(folder.path, {});
}

namespace {

struct counted_work {
    int runs = 0;
    bool short_of_memory = false;
};

void count_run(void* argument)
{
    counted_work* w = static_cast<counted_work*>(argument);
    w->runs++;
    if (w->short_of_memory)
        throw std::bad_alloc();
}

}  // namespace

TEST(Beside, WorkIsDoneOnceWhereverItRunsAndAShortageOfMemoryReachesTheCaller)
{
    for (bool asked : {true, false})
        for (bool short_of_memory : {false, true}) {
            counted_work w;
            w.short_of_memory = short_of_memory;
            {
                work_beside beside;
                start_beside(count_run, &w, asked, &beside);
                if (short_of_memory)
                    EXPECT_THROW(finish_beside(&beside), std::bad_alloc) << asked;
                else
                    EXPECT_NO_THROW(finish_beside(&beside)) << asked;
                EXPECT_EQ(w.runs, 1) << asked << short_of_memory;
            }
            EXPECT_EQ(w.runs, 1);
        }
    // A caller that ends before it asks for the work waits for it: the work never outlives it.
    counted_work left;
    {
        work_beside beside;
        start_beside(count_run, &left, true, &beside);
    }
    EXPECT_EQ(left.runs, 1);
    // Not asked and never finished: never done.
    counted_work unasked;
    {
        work_beside beside;
        start_beside(count_run, &unasked, false, &beside);
    }
    EXPECT_EQ(unasked.runs, 0);
}
