#include "server/commands/token_commands.h"

#include <charconv>

#include "server/commands/api_token.h"
#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/text_output.h"

namespace vx::server {

int RunTokenCreate(Store& store, const std::string& name, int64_t now, std::ostream& out, std::ostream& err) {
  const std::optional<std::string> token = MakeApiToken();
  if (!token) return Refuse(err, kExitStoreFailure, "the system's random source cannot be read; no token was made");
  StoreResult<int64_t> id = store.AddApiToken(name, HashApiToken(*token), now);
  if (!id) return RefuseStoreFailure(err, id, "add the token");
  out << "Token " << *id << " is made. It is shown this once; keep it where only you can read it:\n" << *token << "\n";
  return kExitDone;
}

int RunTokenList(Store& store, bool json, std::ostream& out, std::ostream& err) {
  StoreResult<std::vector<ApiTokenRecord>> tokens = store.ListApiTokens();
  if (!tokens) return RefuseStoreFailure(err, tokens, "list the tokens");
  if (json) {
    out << "[";
    for (std::size_t i = 0; i < tokens->size(); ++i) {
      const ApiTokenRecord& t = (*tokens)[i];
      out << (i ? ",\n " : "") << "{\"id\": " << t.tokenId << ", \"name\": " << JsonAgentText(t.name)
          << ", \"createdAt\": " << t.createdAt
          << ", \"revokedAt\": " << (t.revokedAt ? std::to_string(*t.revokedAt) : "null") << "}";
    }
    out << "]\n";
    return kExitDone;
  }
  if (tokens->empty()) out << "No token has been made (vxmgmtd token create makes one).\n";
  for (const ApiTokenRecord& t : *tokens)
    out << t.tokenId << "  " << (t.name.empty() ? std::string("(no name)") : ShownAgentText(t.name)) << "  made "
        << LocalTimeText(t.createdAt) << (t.revokedAt ? "  revoked " + LocalTimeText(*t.revokedAt) : "  in use")
        << "\n";
  return kExitDone;
}

int RunTokenRevoke(Store& store, const std::string& idText, int64_t now, std::ostream& out, std::ostream& err) {
  int64_t id = 0;
  const auto [end, problem] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
  if (problem != std::errc() || end != idText.data() + idText.size() || id < 1)
    return Refuse(err, kExitBadArguments, "a token id is a number, as vxmgmtd token list shows it");
  StoreResult<Done> revoked = store.RevokeApiToken(id, now);
  if (!revoked)
    return revoked.failure() == StoreFailure::NotFound ? Refuse(err, kExitRefused, revoked.error())
                                                       : RefuseStoreFailure(err, revoked, "revoke the token");
  out << "Token " << id << " is revoked: the API refuses it from the next call on.\n";
  return kExitDone;
}

}  // namespace vx::server
