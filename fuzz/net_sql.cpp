// SQL frames from a hostile peer: requests reaching torqad's SQL service,
// and the same bodies read by the driver's decoders of the daemon's answers.
//
// Input: frames as they travel (4-byte length, type, body). Every iteration
// is a new service on one connection to the run's namespace, so statements
// and a transaction one input leaves are gone before the next.
//
// Checked: every request the service takes is answered with a frame that
// fits the frame limit and is a failure or of the type its request expects,
// and its answers decode as the driver reads them.
#include "sql_service.h"

#include "server/net/sql_frames.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using torqa::net::frame_type;

void fail(const char* what, std::uint8_t type) {
  std::fprintf(stderr, "request %c: %s\n", type, what);
  std::abort();
}

torqa::server::connection& connection() {
  // The directory outlives everything else, for the removal at exit.
  static const std::string* dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*dir, ec);
    });
    return new std::string(pattern);
  }();
  static torqa::server::connection c = [] {
    torqa::server::connect_options o;
    o.fasthash = true;
    o.schema_file = TORQA_SAMPLE_SCHEMA;
    return torqa::server::connection(*dir + "/ns", o, "torqa", "torqa");
  }();
  return c;
}

// What the driver does with an answer: decode it as the request expects.
void read_answer(std::uint8_t request, std::uint8_t type, const std::string& body, std::size_t columns) {
  if (type == frame_type::failure) return;
  static const std::map<std::uint8_t, std::uint8_t> expected = {
      {frame_type::prepare, frame_type::described},
      {frame_type::execute, frame_type::executed},
      {frame_type::fetch, frame_type::rows},
      {frame_type::close_sql, frame_type::done},
      {frame_type::free_sql, frame_type::done},
      {frame_type::query_info, frame_type::info_reply},
      {frame_type::transaction, frame_type::transaction_state},
      {frame_type::catalog, frame_type::tables},
      {frame_type::sql_info, frame_type::sql_facts}};
  if (expected.at(request) != type) fail("answered with the wrong type", request);
  torqa::net::sql_description d;
  std::vector<torqa::net::sql_table> tables;
  if (type == frame_type::described && !read_description(body, d)) fail("description does not decode", request);
  if (type == frame_type::tables && !read_tables(body, tables)) fail("tables do not decode", request);
  if (type == frame_type::executed || type == frame_type::rows) {
    torqa::net::batch_reader r;
    std::vector<torqa::server::sql_value> row;
    if (!r.start(std::string_view(body).substr(type == frame_type::executed ? 8 : 0), columns))
      fail("batch does not decode", request);
    for (auto step = r.next(row); step != torqa::net::batch_reader::step::end; step = r.next(row))
      if (step == torqa::net::batch_reader::step::malformed) fail("batch does not decode", request);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  torqa::server::connection& conn = connection();
  torqa::daemon::sql_service service(conn);
  std::map<std::uint32_t, std::size_t> columns;  // of the statements prepared
  const char* p = reinterpret_cast<const char*>(data);
  std::size_t used = 0;
  torqa::net::frame f;
  while (torqa::net::parse_frame(p, size, f, used) == torqa::net::parse_result::complete) {
    p += used;
    size -= used;
    // The driver's decoders take any body.
    torqa::net::sql_description d;
    std::vector<torqa::net::sql_table> tables;
    (void)read_description(f.body, d);
    (void)read_tables(f.body, tables);
    if (!torqa::daemon::sql_service::serves(f.type)) continue;
    std::uint8_t type = 0;
    std::string body;
    if (!service.answer(f, type, body)) continue;  // the daemon closes such a connection
    if (body.size() >= torqa::net::max_frame_length) fail("answer over the frame limit", f.type);
    torqa::net::body_reader r(f.body);
    std::uint32_t id = 0;
    if (type == frame_type::described && read_description(body, d)) columns[d.statement] = d.columns.size();
    read_answer(f.type, type, body, r.u32(id) && columns.count(id) ? columns[id] : 0);
  }
  return 0;
}
