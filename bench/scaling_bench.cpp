// The scaling model, for machines with fewer cores than the pool may have
// workers elsewhere. For each workload of bench_mesh.py's scaling section:
//   - the one-worker time, split into the serial part (everything the
//     calling thread does outside the passes) and each pass;
//   - at 2, 4, 8 and 16 shares, the time of each task of each pass, the
//     tasks run one after another on one thread, through the job's own code
//     (render_passes and alpha_pass with a timing `run`);
//   - the hand-off: one empty parallel_for on a pool of that many workers.
// Job times are the thread's CPU time (the best of several runs), which a
// busy machine disturbs less than the wall clock; the hand-off is wall time.
//   - the predicted speed-up: one-worker time / (serial part + slowest task
//     of each pass + one hand-off per pass).
// The Python intake's own time is not in here: bench_mesh.py adds it.
//
//   quadlite_scaling [--runs N] [--json PATH] [--only NAME ...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <time.h>

#include "bench_scenes.hpp"
#include "pool/worker_pool.hpp"
#include "render/face_alphas.hpp"
#include "render/render_job.hpp"

namespace quadlite {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The calling thread's own CPU time: the model's times are work, and on a
// shared machine the wall clock would count other processes' turns too.
double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

const std::uint64_t kShares[] = {2, 4, 8, 16};

// The workloads of bench_mesh.py's scaling section, by its names.
std::vector<Scene> scaling_scenes() {
  std::vector<Scene> out;
  out.push_back(curvilinear(1000, 2000));
  out.push_back(rotated(14, 10, 4096));
  out.push_back(grid("heatmap", 512, 512, 4.0, 2048, 0.1));
  out.push_back(grid("subpixel", 2000, 2000, 0.5, 1000, 0.0));
  out.push_back(grid("cells64", 64, 64, 64.0, 4096, 0.0));
  out.push_back(hammer_map("map_quarter_degree", 0.25));
  out.push_back(hammer_map("map_one_degree", 1.0));
  return out;
}

struct Pass {
  std::string name;
  std::vector<double> task_ms;
  double slowest() const { return *std::max_element(task_ms.begin(), task_ms.end()); }
  double sum() const {
    double s = 0;
    for (double t : task_ms) s += t;
    return s;
  }
  double mean() const { return sum() / static_cast<double>(task_ms.size()); }
};

struct JobTimes {
  double total_ms = 0;
  std::vector<Pass> passes;
  double serial_ms() const {
    double s = total_ms;
    for (const Pass& p : passes) s -= p.sum();
    return s;
  }
};

// The scene's arrays and its target in memory advised to use huge pages, as
// numpy hands out large arrays (and so as the module reads them): streaming
// reads then cross no 4 KiB page boundary, which the prefetchers stop at.
class AdvisedScene {
 public:
  explicit AdvisedScene(const Scene& s)
      : coords_(copy(s.coords.data(), s.coords.size() * sizeof(double))),
        colours_(copy(s.colours.data(), s.colours.size() * sizeof(double))),
        pixels_(copy(nullptr, static_cast<std::size_t>(s.rows) * static_cast<std::size_t>(s.cols) * 4)),
        mesh_(s.mesh()) {
    mesh_.coords = static_cast<const double*>(coords_.get());
    mesh_.colours = static_cast<const double*>(colours_.get());
    target_.data = static_cast<std::uint8_t*>(pixels_.get());
    target_.height = s.rows;
    target_.width = s.cols;
    target_.row_stride = 4 * static_cast<std::int64_t>(s.cols);
    target_.col_stride = 4;
  }
  const MeshView& mesh() const { return mesh_; }
  const TargetImage& target() const { return target_; }

 private:
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  // `bytes` from `from`, or zeros.
  static std::unique_ptr<void, Free> copy(const void* from, std::size_t bytes) {
    constexpr std::size_t kHuge = std::size_t{1} << 21;
    const std::size_t size = (std::max<std::size_t>(bytes, 1) + kHuge - 1) / kHuge * kHuge;
    void* p = nullptr;
    if (posix_memalign(&p, kHuge, size) != 0) throw std::bad_alloc();
    madvise(p, size, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
    if (from != nullptr) {
      std::memcpy(p, from, bytes);
    } else {
      std::memset(p, 0, size);
    }
    return std::unique_ptr<void, Free>(p);
  }

  std::unique_ptr<void, Free> coords_, colours_, pixels_;
  MeshView mesh_;
  TargetImage target_;
};

bool on_grid(const Scene& s) {
  GridMesh grid;
  return take_grid(s.mesh(), s.clip(), 1,
                   [](std::uint64_t n, auto&& body) {
                     for (std::uint64_t k = 0; k < n; ++k) body(k);
                   },
                   grid);
}

// How many passes the grid check runs on the scene: none where its first
// mesh row already rules the grid out, one before a mesh that is no grid
// after all (the maps), so that the quad path's passes are named right.
std::uint64_t grid_check_passes(const Scene& s, std::uint64_t shares) {
  GridMesh grid;
  std::uint64_t passes = 0;
  take_grid(s.mesh(), s.clip(), std::min<std::uint64_t>(shares, s.quads()),
            [&](std::uint64_t n, auto&& body) {
              ++passes;
              for (std::uint64_t k = 0; k < n; ++k) body(k);
            },
            grid);
  return passes;
}

// One call as the module makes it after the intake, at `shares` shares,
// every task timed on this thread.
JobTimes time_job(const Scene& s, std::uint64_t shares, const AdvisedScene& data,
                  bool grid_path) {
  JobTimes out;
  out.passes.reserve(8);
  const auto run = [&](std::uint64_t count, auto&& body) {
    Pass pass;
    pass.task_ms.resize(count);
    for (std::uint64_t k = 0; k < count; ++k) {
      const double start = cpu_ms();
      body(k);
      pass.task_ms[k] = cpu_ms() - start;
    }
    out.passes.push_back(std::move(pass));
  };
  const auto in_place = [](auto&& body) { body(); };
  RenderInputs in;
  in.mesh = data.mesh();
  in.extents[2] = s.cols;
  in.extents[3] = s.rows;
  in.target = data.target();
  const auto rows = static_cast<std::uint64_t>(in.mesh.colour_rows);

  const double start = cpu_ms();
  // As face_alphas_binary: few rows are read in place, under the lock.
  const bool alpha_on_pool = rows >= kPoolWorthwhile;
  const bool binary = alpha_on_pool ? alpha_pass(in.mesh.colours, rows, shares, run)
                                    : alphas_binary(in.mesh.colours, 0, rows);
  const ClipBox clip = clip_box_from_extents(in.extents, in.target.width, in.target.height);
  const bool drawn = render_passes(in, clip, shares, in_place, run);
  out.total_ms = cpu_ms() - start;
  if (!binary || !drawn) {
    std::fprintf(stderr, "%s: the job declined\n", s.name.c_str());
    std::exit(1);
  }
  std::vector<std::string> names;
  if (alpha_on_pool) names.push_back("alpha");
  const std::uint64_t grid_passes = grid_check_passes(s, shares);
  for (std::uint64_t k = 0; k < grid_passes; ++k)
    names.push_back(k ? "grid check " + std::to_string(k + 1) : "grid check");
  if (!grid_path) names.push_back("check");
  if (!grid_path && out.passes.size() == names.size() + 2) names.push_back("index");
  names.push_back("fill");
  for (std::size_t k = 0; k < out.passes.size() && k < names.size(); ++k)
    out.passes[k].name = names[k];
  return out;
}

// Keeps the better of `best` and `t`, calls of the same job at the same
// shares: at one share the call with the least total, at several each
// task's least time and the least serial part.
void keep_best(JobTimes& best, const JobTimes& t, std::uint64_t shares) {
  if (best.passes.empty()) {
    best = t;
    return;
  }
  if (shares == 1) {
    if (t.total_ms < best.total_ms) best = t;
    return;
  }
  const double serial = std::min(best.serial_ms(), t.serial_ms());
  double tasks = 0;
  for (std::size_t p = 0; p < best.passes.size(); ++p) {
    for (std::size_t k = 0; k < best.passes[p].task_ms.size(); ++k)
      best.passes[p].task_ms[k] = std::min(best.passes[p].task_ms[k], t.passes[p].task_ms[k]);
    tasks += best.passes[p].sum();
  }
  best.total_ms = tasks + serial;
}

// One empty parallel_for round trip on a pool of `workers`, in
// milliseconds: the median of a round of calls, the least of several rounds
// (as the job times are the best of several runs: a busy machine adds its
// own waits for a core).
double hand_off_ms(std::uint64_t workers) {
  WorkerPool pool(workers);
  const auto nothing = [](std::uint64_t) {};
  for (int k = 0; k < 50; ++k) pool.parallel_for(workers, nothing);
  double least = 1e300;
  std::vector<double> times(201);
  for (int round = 0; round < 7; ++round) {
    for (double& t : times) {
      const Clock::time_point start = Clock::now();
      pool.parallel_for(workers, nothing);
      t = ms_since(start);
    }
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    least = std::min(least, times[times.size() / 2]);
  }
  return least;
}

struct Prediction {
  std::uint64_t shares;
  JobTimes job;
  double hand_off_ms;
  double predicted_ms() const {
    double t = job.serial_ms() + hand_off_ms * static_cast<double>(job.passes.size());
    for (const Pass& p : job.passes) t += p.slowest();
    return t;
  }
};

struct Result {
  std::string name;
  bool grid_path = false;
  JobTimes one;
  std::vector<Prediction> at;
};

void print_list(std::FILE* out, const std::vector<double>& values) {
  std::fputc('[', out);
  for (std::size_t k = 0; k < values.size(); ++k)
    std::fprintf(out, "%s%.5f", k ? ", " : "", values[k]);
  std::fputc(']', out);
}

void print_passes(std::FILE* out, const std::vector<Pass>& passes) {
  std::fputc('[', out);
  for (std::size_t p = 0; p < passes.size(); ++p) {
    std::fprintf(out, "%s{\"name\": \"%s\", \"task_ms\": ", p ? ", " : "", passes[p].name.c_str());
    print_list(out, passes[p].task_ms);
    std::fputc('}', out);
  }
  std::fputc(']', out);
}

void write_json(const char* path, const std::vector<std::pair<std::uint64_t, double>>& hand_offs,
                const std::vector<Result>& results) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    std::exit(1);
  }
  std::fprintf(out, "{\"hand_off_ms\": {");
  for (std::size_t k = 0; k < hand_offs.size(); ++k)
    std::fprintf(out, "%s\"%llu\": %.5f", k ? ", " : "",
                 static_cast<unsigned long long>(hand_offs[k].first), hand_offs[k].second);
  std::fprintf(out, "},\n \"workloads\": [");
  for (std::size_t w = 0; w < results.size(); ++w) {
    const Result& r = results[w];
    std::fprintf(out, "%s\n  {\"name\": \"%s\", \"grid_path\": %s, \"one_worker_ms\": %.5f, "
                      "\"serial_ms\": %.5f, \"passes\": ",
                 w ? "," : "", r.name.c_str(), r.grid_path ? "true" : "false", r.one.total_ms,
                 r.one.serial_ms());
    print_passes(out, r.one.passes);
    std::fprintf(out, ", \"shares\": {");
    for (std::size_t k = 0; k < r.at.size(); ++k) {
      const Prediction& p = r.at[k];
      std::fprintf(out, "%s\n    \"%llu\": {\"serial_ms\": %.5f, \"hand_off_ms\": %.5f, "
                        "\"predicted_ms\": %.5f, \"passes\": ",
                   k ? "," : "", static_cast<unsigned long long>(p.shares), p.job.serial_ms(),
                   p.hand_off_ms, p.predicted_ms());
      print_passes(out, p.job.passes);
      std::fputc('}', out);
    }
    std::fprintf(out, "}}");
  }
  std::fprintf(out, "\n]}\n");
  std::fclose(out);
}

void print_table(const std::vector<std::pair<std::uint64_t, double>>& hand_offs,
                 const std::vector<Result>& results) {
  std::printf("Hand-off (one empty parallel_for, median of a round, best round):");
  for (const auto& h : hand_offs)
    std::printf("  %llu workers %.1f us", static_cast<unsigned long long>(h.first), h.second * 1e3);
  std::printf("\n\n");
  for (const Result& r : results) {
    std::printf("%s (%s path): 1 worker %.2f ms = serial %.3f (%.2f%%)", r.name.c_str(),
                r.grid_path ? "grid" : "quad", r.one.total_ms, r.one.serial_ms(),
                100 * r.one.serial_ms() / r.one.total_ms);
    for (const Pass& p : r.one.passes) std::printf(" + %s %.2f", p.name.c_str(), p.sum());
    std::printf("\n");
    for (const Prediction& p : r.at) {
      std::printf("  %2llu shares: serial %.3f ms,", static_cast<unsigned long long>(p.shares),
                  p.job.serial_ms());
      for (const Pass& pass : p.job.passes)
        std::printf(" %s slowest %.3f mean %.3f (%.2fx),", pass.name.c_str(), pass.slowest(),
                    pass.mean(), pass.slowest() / pass.mean());
      std::printf(" predicted %.2f ms, %.2fx\n", p.predicted_ms(), r.one.total_ms / p.predicted_ms());
    }
  }
}

int main_(int argc, char** argv) {
  int runs = 5;
  const char* json = nullptr;
  std::vector<std::string> only;
  for (int k = 1; k < argc; ++k) {
    if (!std::strcmp(argv[k], "--runs") && k + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++k]));
    } else if (!std::strcmp(argv[k], "--json") && k + 1 < argc) {
      json = argv[++k];
    } else if (!std::strcmp(argv[k], "--only")) {
      while (k + 1 < argc && argv[k + 1][0] != '-') only.push_back(argv[++k]);
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--json PATH] [--only NAME ...]\n", argv[0]);
      return 2;
    }
  }
  std::vector<std::pair<std::uint64_t, double>> hand_offs;
  for (const std::uint64_t shares : kShares) hand_offs.emplace_back(shares, hand_off_ms(shares));

  std::vector<Result> results;
  for (Scene& s : scaling_scenes()) {
    if (!only.empty() && std::find(only.begin(), only.end(), s.name) == only.end()) continue;
    std::fprintf(stderr, "%s ...\n", s.name.c_str());
    const AdvisedScene data(s);
    Result r;
    r.name = s.name;
    r.grid_path = on_grid(s);
    time_job(s, 1, data, r.grid_path);  // warm: the image's pages, the caches
    for (const auto& h : hand_offs) r.at.push_back({h.first, JobTimes(), h.second});
    // The share counts take turns, so that a busy spell of the machine
    // falls on all of them alike.
    for (int run = 0; run < runs; ++run) {
      keep_best(r.one, time_job(s, 1, data, r.grid_path), 1);
      for (Prediction& p : r.at)
        keep_best(p.job, time_job(s, p.shares, data, r.grid_path), p.shares);
    }
    results.push_back(std::move(r));
  }
  print_table(hand_offs, results);
  if (json != nullptr) write_json(json, hand_offs, results);
  return 0;
}

}  // namespace
}  // namespace bench
}  // namespace quadlite

int main(int argc, char** argv) { return quadlite::bench::main_(argc, argv); }
