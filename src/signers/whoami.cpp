// The gate's own identity, as whoami reports it.
#include "identity/identity_ops.hpp"
#include "primitives/json.hpp"
#include "signers/signer_ops.hpp"

namespace orvane {

Result<std::string> whoami(Gate& gate) {
    ORVANE_ASSIGN_OR_RETURN(auto signer, gate_signer(gate));
    const SignerIdentity& identity = signer->identity();

    // The alias of the registered gate key; a key that is not registered, or
    // a lookup that fails for any reason, gives the empty alias.
    std::string alias;
    if (auto agent = get_agent(gate, identity.public_key)) {
        if (auto record = parse_json(*agent)) {
            if (const std::string* registered = find_string(*record, "alias")) alias = *registered;
        }
    }

    Json result = Json::object();
    result["public_key"] = identity.public_key;
    result["alias"] = std::move(alias);
    result["keyfile"] = gate.keyfile_path;
    result["signer_uri"] = identity.signer_uri;
    result["key_version"] = identity.key_version;
    result["algorithm"] = identity.algorithm;
    return canonical_json(result);
}

}  // namespace orvane
