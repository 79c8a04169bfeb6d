// Encoding and decoding one representative message through the list element
// streams, side by side with msgpack-c packing and unpacking the same values.
//
// The message: 16 integers (every width of 1 to 8 bytes, positive and
// negative), 8-bit text of 12 and 300 bytes, 16-bit text of 8 and 200
// characters, and 3 doubles. The argument selects the whole message (7) or
// one kind of value: integers (1), texts (2), doubles (4).
//
// Both sides reuse their buffers and strings across iterations. msgpack packs
// into a reused sbuffer; it unpacks either value by value into a reused zone
// (the streams' way: no count up front), or, as its best case, the values
// packed as one array in one call; text is referenced in place (its fastest
// mode) and each object converted. "allocs" counts operator new calls per
// message (msgpack's zone uses malloc and is not counted). The functions that
// encode or decode one message are kept out of line on both sides, so that
// callgrind reports their instruction counts per call.
#include <torqa/streams.h>

#include <benchmark/benchmark.h>
#include <msgpack.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::size_t allocations = 0;

}  // namespace

// Out of line, so that the compiler does not pair the inlined free() with
// operator new calls and warn.
[[gnu::noinline]] void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

enum parts : unsigned { integers = 1, texts = 2, doubles = 4, all = 7 };

struct message {
  std::vector<std::int64_t> ints;
  std::string short_text = "hello, world";
  std::string long_text = std::string(300, 'x');
  std::vector<unsigned short> short_uni = std::vector<unsigned short>(8, 0x00E9);
  std::vector<unsigned short> long_uni = std::vector<unsigned short>(200, 0x20AC);
  std::vector<double> reals = {2.08, -12345.678, 0.5};

  message() {
    for (int bytes = 1; bytes <= 8; ++bytes) {
      const std::int64_t v = bytes == 8 ? INT64_C(0x1234567890ABCDEF) : (INT64_C(1) << (8 * bytes - 1)) - 3;
      ints.push_back(v);
      ints.push_back(-v - 1);
    }
  }

  std::uint32_t count(unsigned p) const {
    return (p & integers ? 16 : 0) + (p & texts ? 4 : 0) + (p & doubles ? 3 : 0);
  }
};

const message msg;

// What a decoder fills, reused between messages.
struct decoded {
  std::int64_t ints[16] = {};
  std::string strs[4];
  double reals[3] = {};

  void check(const message& m, unsigned p) const {
    const bool ok = (!(p & integers) || std::equal(m.ints.begin(), m.ints.end(), ints)) &&
                    (!(p & texts) || (strs[0] == m.short_text && strs[1] == m.long_text &&
                                      strs[2].size() == 2 * m.short_uni.size() &&
                                      strs[3].size() == 2 * m.long_uni.size())) &&
                    (!(p & doubles) || std::equal(m.reals.begin(), m.reals.end(), reals));
    if (!ok) throw std::runtime_error("decoded values differ");
  }
};

const char* uni_bytes(const std::vector<unsigned short>& u) { return reinterpret_cast<const char*>(u.data()); }
unsigned short uni_len(const std::vector<unsigned short>& u) { return static_cast<unsigned short>(2 * u.size()); }

[[gnu::noinline]] void encode(t_ostream& os, const message& m, unsigned p) {
  if (p & integers)
    for (std::int64_t v : m.ints) os.put_int(v);
  if (p & texts) {
    os.put_str(0, m.short_text.data(), static_cast<unsigned short>(m.short_text.size()));
    os.put_str(0, m.long_text.data(), static_cast<unsigned short>(m.long_text.size()));
    os.put_str(2, uni_bytes(m.short_uni), uni_len(m.short_uni));
    os.put_str(2, uni_bytes(m.long_uni), uni_len(m.long_uni));
  }
  if (p & doubles)
    for (double d : m.reals) os.put_double(d);
}

[[gnu::noinline]] void decode(t_istream& is, decoded& out, unsigned p) {
  bool null, uni;
  if (p & integers)
    for (std::int64_t& v : out.ints) is.read_int(v, null);
  if (p & texts)
    for (std::string& s : out.strs) is.read_str(uni, s);
  if (p & doubles)
    for (double& d : out.reals) is.read_double(d, null);
}

template <class Packer>
[[gnu::noinline]] void pack_message(Packer& pk, const message& m, unsigned p) {
  if (p & integers)
    for (std::int64_t v : m.ints) pk.pack(v);
  if (p & texts) {
    pk.pack(m.short_text);
    pk.pack(m.long_text);
    for (const auto* u : {&m.short_uni, &m.long_uni}) {
      pk.pack_bin(uni_len(*u));
      pk.pack_bin_body(uni_bytes(*u), uni_len(*u));
    }
  }
  if (p & doubles)
    for (double d : m.reals) pk.pack(d);
}

bool reference_text(msgpack::type::object_type, std::size_t, void*) { return true; }

template <class Next>
[[gnu::noinline]] void unpack_message(Next next, decoded& out, unsigned p) {
  if (p & integers)
    for (std::int64_t& v : out.ints) next().convert(v);
  if (p & texts)
    for (std::string& s : out.strs) {
      const msgpack::object o = next();
      if (o.type == msgpack::type::BIN)
        s.assign(o.via.bin.ptr, o.via.bin.size);
      else
        o.convert(s);
    }
  if (p & doubles)
    for (double& d : out.reals) next().convert(d);
}

unsigned parts_of(benchmark::State& state) {
  const auto p = static_cast<unsigned>(state.range(0));
  state.SetLabel(p == all ? "message" : p == integers ? "integers" : p == texts ? "texts" : "doubles");
  return p;
}

void set_counters(benchmark::State& state, std::size_t message_bytes, std::size_t allocs) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message_bytes));
  state.counters["msg_bytes"] = static_cast<double>(message_bytes);
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocs), benchmark::Counter::kAvgIterations);
}

void streams_encode(benchmark::State& state) {
  const unsigned p = parts_of(state);
  t_ostrstream os;
  encode(os, msg, p);  // warm up: the buffer reaches its size
  const std::size_t before = allocations;
  for (auto _ : state) {
    os.reset();
    encode(os, msg, p);
    benchmark::DoNotOptimize(os.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, os.size(), allocations - before);
}

void msgpack_encode(benchmark::State& state) {
  const unsigned p = parts_of(state);
  msgpack::sbuffer buf;
  msgpack::packer<msgpack::sbuffer> pk(buf);
  pack_message(pk, msg, p);
  for (auto _ : state) {
    buf.clear();
    pack_message(pk, msg, p);
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, buf.size(), 0);
}

void streams_decode(benchmark::State& state) {
  const unsigned p = parts_of(state);
  t_ostrstream os;
  encode(os, msg, p);
  std::string wire(os.data(), os.size());
  t_istrstream is(wire.data(), static_cast<int>(wire.size()));
  decoded out;
  decode(is, out, p);
  out.check(msg, p);
  const std::size_t before = allocations;
  for (auto _ : state) {
    is.reset(wire.data(), static_cast<int>(wire.size()));
    decode(is, out, p);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  set_counters(state, wire.size(), allocations - before);
}

void msgpack_decode(benchmark::State& state) {
  const unsigned p = parts_of(state);
  msgpack::sbuffer buf;
  msgpack::packer<msgpack::sbuffer> pk(buf);
  pack_message(pk, msg, p);
  msgpack::zone zone;
  decoded out;
  auto run = [&] {
    std::size_t off = 0;
    zone.clear();
    unpack_message([&] { return msgpack::unpack(zone, buf.data(), buf.size(), off, reference_text); }, out, p);
  };
  run();
  out.check(msg, p);
  for (auto _ : state) {
    run();
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  set_counters(state, buf.size(), 0);
}

void msgpack_decode_array(benchmark::State& state) {
  const unsigned p = parts_of(state);
  msgpack::sbuffer buf;
  msgpack::packer<msgpack::sbuffer> pk(buf);
  pk.pack_array(msg.count(p));
  pack_message(pk, msg, p);
  msgpack::zone zone;
  decoded out;
  auto run = [&] {
    zone.clear();
    const msgpack::object all_values = msgpack::unpack(zone, buf.data(), buf.size(), reference_text);
    const msgpack::object* item = all_values.via.array.ptr;
    unpack_message([&] { return *item++; }, out, p);
  };
  run();
  out.check(msg, p);
  for (auto _ : state) {
    run();
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  set_counters(state, buf.size(), 0);
}

void message_and_parts(benchmark::internal::Benchmark* b) {
  for (unsigned p : {all, integers, texts, doubles}) b->Arg(p);
}

}  // namespace

BENCHMARK(streams_encode)->Apply(message_and_parts);
BENCHMARK(msgpack_encode)->Apply(message_and_parts);
BENCHMARK(streams_decode)->Apply(message_and_parts);
BENCHMARK(msgpack_decode)->Apply(message_and_parts);
BENCHMARK(msgpack_decode_array)->Apply(message_and_parts);

BENCHMARK_MAIN();
