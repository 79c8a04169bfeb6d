#include "server/auth/scram.h"

#include <sodium.h>

#include <charconv>
#include <stdexcept>
#include <vector>

namespace torqa::server::scram {

namespace {

key hmac(std::string_view k, std::string_view message) {
  crypto_auth_hmacsha256_state st;
  key out;
  crypto_auth_hmacsha256_init(&st, reinterpret_cast<const unsigned char*>(k.data()), k.size());
  crypto_auth_hmacsha256_update(&st, reinterpret_cast<const unsigned char*>(message.data()), message.size());
  crypto_auth_hmacsha256_final(&st, out.data());
  return out;
}

std::string_view view(const key& k) { return {reinterpret_cast<const char*>(k.data()), k.size()}; }

key sha256(const key& k) {
  key out;
  crypto_hash_sha256(out.data(), k.data(), k.size());
  return out;
}

key exclusive_or(key a, const key& b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] ^= b[i];
  return a;
}

std::string base64(std::string_view bytes) {
  std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}

std::optional<std::string> unbase64(std::string_view text) {
  std::string out(text.size() / 4 * 3 + 3, '\0');
  std::size_t n = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), nullptr,
                        &n, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size())
    return std::nullopt;
  out.resize(n);
  return out;
}

std::optional<key> unbase64_key(std::string_view text) {
  const auto bytes = unbase64(text);
  if (!bytes || bytes->size() != sizeof(key)) return std::nullopt;
  key k;
  std::copy(bytes->begin(), bytes->end(), k.begin());
  return k;
}

/// The comma-separated "x=value" attributes of a message, in order.
std::vector<std::pair<char, std::string_view>> attributes(std::string_view message) {
  std::vector<std::pair<char, std::string_view>> out;
  while (true) {
    const std::size_t comma = message.find(',');
    const std::string_view part = message.substr(0, comma);
    if (part.size() < 2 || part[1] != '=') return {};
    out.emplace_back(part[0], part.substr(2));
    if (comma == std::string_view::npos) return out;
    message.remove_prefix(comma + 1);
  }
}

bool valid_nonce(std::string_view n) {
  if (n.empty()) return false;
  for (const char c : n)
    if (c < 0x21 || c > 0x7E || c == ',') return false;
  return true;
}

std::string escape_name(std::string_view user) {
  std::string out;
  for (const char c : user) out += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
  return out;
}

std::optional<std::string> unescape_name(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
    } else if (text.substr(i, 3) == "=2C") {
      out += ',';
      i += 2;
    } else if (text.substr(i, 3) == "=3D") {
      out += '=';
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

constexpr std::string_view gs2_header = "n,,";
constexpr std::string_view channel_binding = "c=biws";  // base64 of the header

std::optional<std::uint32_t> parse_count(std::string_view text) {
  std::uint32_t n = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  if (r.ec != std::errc{} || r.ptr != text.data() + text.size()) return std::nullopt;
  return n;
}

/// ClientKey and ServerKey of a password: Hi() is PBKDF2 with
/// HMAC-SHA-256, one block.
std::pair<key, key> client_and_server_keys(std::string_view password, std::string_view salt,
                                           std::uint32_t iterations) {
  std::string first(salt);
  first += std::string("\0\0\0\1", 4);
  key u = hmac(password, first), salted = u;
  for (std::uint32_t i = 1; i < iterations; ++i) {
    u = hmac(password, view(u));
    salted = exclusive_or(salted, u);
  }
  std::pair<key, key> out{hmac(view(salted), "Client Key"), hmac(view(salted), "Server Key")};
  sodium_memzero(salted.data(), salted.size());
  sodium_memzero(u.data(), u.size());
  return out;
}

}  // namespace

secret derive(std::string_view password, std::string_view salt, std::uint32_t iterations) {
  auto [client_key, server_key] = client_and_server_keys(password, salt, iterations);
  secret s{std::string(salt), iterations, sha256(client_key), server_key};
  sodium_memzero(client_key.data(), client_key.size());
  return s;
}

std::string encode(const secret& s) {
  return "SCRAM-SHA-256$" + std::to_string(s.iterations) + ":" + base64(s.salt) + "$" + base64(view(s.stored_key)) +
         ":" + base64(view(s.server_key));
}

std::optional<secret> decode(std::string_view text) {
  constexpr std::string_view tag = "SCRAM-SHA-256$";
  if (!text.starts_with(tag)) return std::nullopt;
  text.remove_prefix(tag.size());
  const std::size_t colon1 = text.find(':'), dollar = text.find('$'), colon2 = text.rfind(':');
  if (colon1 == std::string_view::npos || dollar == std::string_view::npos || colon2 == std::string_view::npos ||
      !(colon1 < dollar && dollar < colon2))
    return std::nullopt;
  const auto iterations = parse_count(text.substr(0, colon1));
  const auto salt = unbase64(text.substr(colon1 + 1, dollar - colon1 - 1));
  const auto stored = unbase64_key(text.substr(dollar + 1, colon2 - dollar - 1));
  const auto server = unbase64_key(text.substr(colon2 + 1));
  if (!iterations || *iterations == 0 || !salt || !stored || !server) return std::nullopt;
  return secret{*salt, *iterations, *stored, *server};
}

std::string make_nonce() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
  unsigned char bytes[18];
  randombytes_buf(bytes, sizeof bytes);
  return base64(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

client::client(std::string user, std::string password, std::string nonce)
    : user_(std::move(user)), password_(std::move(password)), nonce_(std::move(nonce)) {}

client::~client() { sodium_memzero(password_.data(), password_.size()); }

std::string client::first() const { return std::string(gs2_header) + "n=" + escape_name(user_) + ",r=" + nonce_; }

std::optional<std::string> client::final(std::string_view server_first, std::string& why) {
  const auto attrs = attributes(server_first);
  if (attrs.size() < 3 || attrs[0].first != 'r' || attrs[1].first != 's' || attrs[2].first != 'i') {
    why = "malformed server challenge";
    return std::nullopt;
  }
  const std::string_view nonce = attrs[0].second;
  if (!nonce.starts_with(nonce_) || nonce.size() == nonce_.size() || !valid_nonce(nonce)) {
    why = "the server's nonce does not extend ours";
    return std::nullopt;
  }
  const auto salt = unbase64(attrs[1].second);
  const auto iterations = parse_count(attrs[2].second);
  if (!salt || salt->empty() || !iterations || *iterations < min_iterations || *iterations > max_iterations) {
    why = "bad salt or iteration count in the server challenge";
    return std::nullopt;
  }
  auto [client_key, server_key] = client_and_server_keys(password_, *salt, *iterations);
  const std::string without_proof = std::string(channel_binding) + ",r=" + std::string(nonce);
  auth_message_ = first().substr(gs2_header.size()) + "," + std::string(server_first) + "," + without_proof;
  const key proof = exclusive_or(client_key, hmac(view(sha256(client_key)), auth_message_));
  sodium_memzero(client_key.data(), client_key.size());
  server_key_ = server_key;
  return without_proof + ",p=" + base64(view(proof));
}

bool client::verify(std::string_view server_final) const {
  if (!server_final.starts_with("v=") || auth_message_.empty()) return false;
  const auto signature = unbase64_key(server_final.substr(2));
  const key expected = hmac(view(server_key_), auth_message_);
  return signature && sodium_memcmp(signature->data(), expected.data(), expected.size()) == 0;
}

bool server::parse_first(std::string_view message, std::string& user, std::string& client_nonce) {
  if (!message.starts_with(gs2_header)) return false;
  const auto attrs = attributes(message.substr(gs2_header.size()));
  if (attrs.size() != 2 || attrs[0].first != 'n' || attrs[1].first != 'r' || !valid_nonce(attrs[1].second))
    return false;
  const auto name = unescape_name(attrs[0].second);
  if (!name || name->empty()) return false;
  user = *name;
  client_nonce = std::string(attrs[1].second);
  return true;
}

secret server::unknown_user(std::string_view user, const key& mock_key, std::uint32_t iterations) {
  const key k = hmac(view(mock_key), user);
  secret s;
  s.salt = std::string(view(k).substr(0, 16));
  s.iterations = iterations;
  randombytes_buf(s.stored_key.data(), s.stored_key.size());  // no proof matches
  randombytes_buf(s.server_key.data(), s.server_key.size());
  return s;
}

server::server(secret s, std::string_view client_first, std::string server_nonce) : secret_(std::move(s)) {
  std::string user, client_nonce;
  if (parse_first(client_first, user, client_nonce)) {
    client_first_bare_ = std::string(client_first.substr(gs2_header.size()));
    nonce_ = client_nonce + server_nonce;
  }
  first_ = "r=" + nonce_ + ",s=" + base64(secret_.salt) + ",i=" + std::to_string(secret_.iterations);
}

std::optional<std::string> server::final(std::string_view client_final) const {
  const std::size_t proof_at = client_final.rfind(",p=");
  if (nonce_.empty() || proof_at == std::string_view::npos) return std::nullopt;
  const std::string_view without_proof = client_final.substr(0, proof_at);
  if (without_proof != std::string(channel_binding) + ",r=" + nonce_) return std::nullopt;
  const auto proof = unbase64_key(client_final.substr(proof_at + 3));
  if (!proof) return std::nullopt;
  const std::string auth_message = client_first_bare_ + "," + first_ + "," + std::string(without_proof);
  const key client_key = exclusive_or(*proof, hmac(view(secret_.stored_key), auth_message));
  const key stored = sha256(client_key);
  if (sodium_memcmp(stored.data(), secret_.stored_key.data(), stored.size()) != 0) return std::nullopt;
  return "v=" + base64(view(hmac(view(secret_.server_key), auth_message)));
}

}  // namespace torqa::server::scram
