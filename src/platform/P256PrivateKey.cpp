#include "platform/P256PrivateKey.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include "platform/OpenSslError.h"

namespace orvel {
namespace {

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using BigNumber = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using BigNumberContext = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

constexpr std::size_t coordinateSize = 32;

template <class T>
T require(T value, const char* operation) {
  if (!value) OpenSslError::raise(operation);
  return value;
}

void check(int result, const char* operation) {
  if (result != 1) OpenSslError::raise(operation);
}

Group p256() { return require(Group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)), "EC_GROUP_new_by_curve_name"); }

// Builds the library's key from the scalar, computing the public point d·G.
Key keyFromScalar(const BIGNUM& scalar) {
  Group group = p256();
  BigNumberContext bn(require(BN_CTX_secure_new(), "BN_CTX_secure_new"));
  if (BN_is_zero(&scalar) || BN_is_negative(&scalar) || BN_cmp(&scalar, EC_GROUP_get0_order(group.get())) >= 0) {
    OpenSslError::raiseOwn(OpenSslError::invalidLength, "P-256 private key");
  }
  Point point(require(EC_POINT_new(group.get()), "EC_POINT_new"));
  check(EC_POINT_mul(group.get(), point.get(), &scalar, nullptr, nullptr, bn.get()), "EC_POINT_mul");
  Bytes publicPoint(P256PublicKey::x963Size);
  if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, publicPoint.data(), publicPoint.size(),
                         bn.get()) != publicPoint.size()) {
    OpenSslError::raise("EC_POINT_point2oct");
  }

  // A scalar in secure memory makes the builder keep it there and wipe it on release.
  BigNumber secureScalar(require(BN_secure_new(), "BN_secure_new"));
  require(BN_copy(secureScalar.get(), &scalar), "BN_copy");
  ParamBuilder builder(require(OSSL_PARAM_BLD_new(), "OSSL_PARAM_BLD_new"));
  check(OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0), "param");
  check(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, secureScalar.get()), "param");
  check(OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, publicPoint.data(), publicPoint.size()),
        "param");
  Params params(require(OSSL_PARAM_BLD_to_param(builder.get()), "OSSL_PARAM_BLD_to_param"));
  KeyContext context(require(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "EVP_PKEY_CTX_new_from_name"));
  EVP_PKEY* key = nullptr;
  check(EVP_PKEY_fromdata_init(context.get()), "EVP_PKEY_fromdata_init");
  check(EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR, params.get()), "EVP_PKEY_fromdata");
  return Key(key);
}

// y <= p - y, that is, y is the smaller of the two roots.
bool isCompact(ByteView publicPoint) {
  Group group = p256();
  BigNumber p(require(BN_new(), "BN_new"));
  check(EC_GROUP_get_curve(group.get(), p.get(), nullptr, nullptr, nullptr), "EC_GROUP_get_curve");
  BigNumber y(require(BN_bin2bn(publicPoint.data() + 1 + coordinateSize, coordinateSize, nullptr), "BN_bin2bn"));
  BigNumber negated(require(BN_new(), "BN_new"));
  check(BN_sub(negated.get(), p.get(), y.get()), "BN_sub");
  return BN_cmp(y.get(), negated.get()) <= 0;
}

}  // namespace

void P256PrivateKey::Free::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

P256PrivateKey P256PrivateKey::generateCompactRepresentable() {
  Key key(require(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "EVP_PKEY_Q_keygen"));
  P256PrivateKey generated(key.release());
  if (isCompact(generated.publicKeyX963())) return generated;

  // (n - d)·G = -(d·G) = (x, p - y): the same x with the other root.
  BIGNUM* raw = nullptr;
  check(EVP_PKEY_get_bn_param(generated.key_.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw), "EVP_PKEY_get_bn_param");
  BigNumber scalar(raw);
  Group group = p256();
  check(BN_sub(scalar.get(), EC_GROUP_get0_order(group.get()), scalar.get()), "BN_sub");
  return P256PrivateKey(keyFromScalar(*scalar).release());
}

P256PrivateKey P256PrivateKey::fromScalar(ByteView scalar) {
  BigNumber number(require(BN_secure_new(), "BN_secure_new"));
  if (BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), number.get()) == nullptr) OpenSslError::raise("BN_bin2bn");
  return P256PrivateKey(keyFromScalar(*number).release());
}

Bytes P256PrivateKey::publicKeyX963() const { return P256PublicKey::x963(key_.get()); }

SecretBytes P256PrivateKey::sharedSecret(const P256PublicKey& peer) const {
  KeyContext context(require(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr), "EVP_PKEY_CTX_new_from_pkey"));
  check(EVP_PKEY_derive_init(context.get()), "EVP_PKEY_derive_init");
  check(EVP_PKEY_derive_set_peer(context.get(), peer.handle()), "EVP_PKEY_derive_set_peer");
  Bytes secret(coordinateSize);
  std::size_t length = secret.size();
  check(EVP_PKEY_derive(context.get(), secret.data(), &length), "EVP_PKEY_derive");
  if (length != coordinateSize) OpenSslError::raiseOwn(OpenSslError::invalidLength, "EVP_PKEY_derive");
  return SecretBytes(std::move(secret));
}

}  // namespace orvel
