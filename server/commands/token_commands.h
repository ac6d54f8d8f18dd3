// `vxmgmtd token create [--name NAME]`, `token list [--json]` and `token
// revoke ID`: the bearer tokens of the HTTP API (api_token.h).
//
// A token lets its holder do through the API what the administration
// commands do, policy changes and pushed installers included, so only an
// administrator who can write the store (the server's own account) may make
// or revoke one: a store that cannot be written refuses with exit 3.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "server/store/store.h"

namespace vx::server {

// Makes a token and prints it once; only its hash is stored.
[[nodiscard]] int RunTokenCreate(Store& store, const std::string& name, int64_t now, std::ostream& out,
                                 std::ostream& err);

// Id, name, when made, and when revoked; never a token. Anyone who can read
// the store may list.
[[nodiscard]] int RunTokenList(Store& store, bool json, std::ostream& out, std::ostream& err);

// A revoked token is refused from the next API call on. An unknown id, or one
// revoked already, is refused with exit 1.
[[nodiscard]] int RunTokenRevoke(Store& store, const std::string& idText, int64_t now, std::ostream& out,
                                 std::ostream& err);

}  // namespace vx::server
