#include "CPkcs11Key.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <vector>

#define CRYPTOKI_GNU 1  // the header's own names, without its compatibility macros
#include <p11-kit/pkcs11.h>

#ifndef FWKIT_PKCS11_MODULE
#define FWKIT_PKCS11_MODULE "p11-kit-proxy.so"
#endif

namespace {

constexpr size_t kSignatureSize = 64;
constexpr size_t kPublicKeySize = 32;
// The curve of CKA_EC_PARAMS: the OID 1.3.101.112 in DER, and the printable
// string "edwards25519" that some tokens take instead.
const unsigned char kEd25519Oid[] = {0x06, 0x03, 0x2B, 0x65, 0x70};
const unsigned char kEd25519Name[] = {0x13, 0x0C, 'e', 'd', 'w', 'a', 'r',
                                      'd',  's',  '2', '5', '5', '1', '9'};

std::string RvText(ck_rv_t rv) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
            return "the PIN is incorrect";
        case CKR_PIN_LOCKED:
            return "the PIN is locked";
        case CKR_MECHANISM_INVALID:
            return "the token does not do Ed25519 (CKM_EDDSA)";
        case CKR_USER_NOT_LOGGED_IN:
            return "the token needs a login";
        case CKR_TOKEN_WRITE_PROTECTED:
            return "the token is write-protected";
        default:
            break;
    }
    char text[40];
    std::snprintf(text, sizeof text, "PKCS#11 error 0x%lx", rv);
    return text;
}

// A fixed-width, blank-padded field of a token's information.
bool FieldIs(const unsigned char* field, size_t size, const std::string& wanted) {
    size_t length = size;
    while (length > 0 && field[length - 1] == ' ')
        --length;
    return wanted.empty() || std::string(reinterpret_cast<const char*>(field), length) == wanted;
}

ck_attribute Attribute(ck_attribute_type_t type, const void* value, size_t size) {
    return {type, const_cast<void*>(value), size};
}

// The raw public key in CKA_EC_POINT: a DER OCTET STRING of 32 bytes, or the
// 32 bytes alone as some tokens store them.
std::string PointKey(const std::string& point) {
    if (point.size() == kPublicKeySize + 2 && point[0] == 0x04 && point[1] == kPublicKeySize)
        return point.substr(2);
    return point.size() == kPublicKeySize ? point : std::string();
}

}  // namespace

// The module, its initialisation (undone only when it was ours) and a session.
struct CPkcs11Key::Token {
    void* library = nullptr;
    ck_function_list* f = nullptr;
    bool initialized = false;
    ck_session_handle_t session = 0;
    bool hasSession = false;
    std::string problem;

    ~Token() {
        if (hasSession)
            f->C_CloseSession(session);
        if (initialized)
            f->C_Finalize(nullptr);
        if (library != nullptr)
            dlclose(library);
    }

    bool Fail(const std::string& text) {
        problem = text;
        return false;
    }
    bool Check(ck_rv_t rv, const char* what) {
        return rv == CKR_OK || Fail(std::string(what) + ": " + RvText(rv));
    }

    bool Load(const std::string& path);
    // Logs in only when `login` and the token asks for it: public objects are
    // readable without.
    bool OpenSession(const CPkcs11Uri& uri, bool write, const std::string& pin, bool login = true);
    bool FindSlot(const CPkcs11Uri& uri, ck_slot_id_t& slot, ck_token_info& info);
    std::vector<ck_object_handle_t> Find(std::vector<ck_attribute> query);
    std::string Get(ck_object_handle_t object, ck_attribute_type_t type);
    ck_rv_t MakePair(const CPkcs11Uri& uri, const unsigned char* params, size_t size,
                     ck_object_handle_t& publicKey, ck_object_handle_t& privateKey);
};

bool CPkcs11Key::Token::Load(const std::string& path) {
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return Fail("cannot load the PKCS#11 module " + path + ": " + dlerror());
    using GetList = ck_rv_t (*)(ck_function_list**);
    const auto get = reinterpret_cast<GetList>(dlsym(library, "C_GetFunctionList"));
    if (get == nullptr || get(&f) != CKR_OK || f == nullptr)
        return Fail(path + " is not a PKCS#11 module");
    ck_c_initialize_args args{};
    args.flags = CKF_OS_LOCKING_OK;
    const ck_rv_t rv = f->C_Initialize(&args);
    initialized = rv == CKR_OK;
    return initialized || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ||
           Check(rv, "the module did not start");
}

bool CPkcs11Key::Token::FindSlot(const CPkcs11Uri& uri, ck_slot_id_t& slot, ck_token_info& info) {
    unsigned long count = 0;
    if (!Check(f->C_GetSlotList(1 /* with a token */, nullptr, &count), "cannot list the tokens"))
        return false;
    std::vector<ck_slot_id_t> slots(count);
    if (!Check(f->C_GetSlotList(1, slots.data(), &count), "cannot list the tokens"))
        return false;
    slots.resize(count);
    unsigned matches = 0;
    for (ck_slot_id_t candidate : slots) {
        ck_token_info candidateInfo{};
        if (f->C_GetTokenInfo(candidate, &candidateInfo) != CKR_OK ||
            !FieldIs(candidateInfo.label, sizeof candidateInfo.label, uri.token) ||
            !FieldIs(candidateInfo.manufacturer_id, sizeof candidateInfo.manufacturer_id,
                     uri.manufacturer) ||
            !FieldIs(candidateInfo.model, sizeof candidateInfo.model, uri.model) ||
            !FieldIs(candidateInfo.serial_number, sizeof candidateInfo.serial_number, uri.serial))
            continue;
        if (matches++ == 0) {
            slot = candidate;
            info = candidateInfo;
        }
    }
    if (matches == 0)
        return Fail("no token matches" + (uri.token.empty() ? "" : " token=" + uri.token));
    return matches == 1 ||
           Fail(std::to_string(matches) + " tokens match; name one with token=LABEL");
}

bool CPkcs11Key::Token::OpenSession(const CPkcs11Uri& uri, bool write, const std::string& pin,
                                    bool login) {
    ck_slot_id_t slot = 0;
    ck_token_info info{};
    if (!FindSlot(uri, slot, info))
        return false;
    const ck_flags_t flags = CKF_SERIAL_SESSION | (write ? CKF_RW_SESSION : 0);
    if (!Check(f->C_OpenSession(slot, flags, nullptr, nullptr, &session), "cannot open a session"))
        return false;
    hasSession = true;
    if (!login || (info.flags & CKF_LOGIN_REQUIRED) == 0)
        return true;
    if (pin.empty())
        return Fail("the token needs a PIN: pin-source=file:PATH in the URI, or --pin-file PATH");
    std::string copy = pin;
    const ck_rv_t rv =
        f->C_Login(session, CKU_USER, reinterpret_cast<unsigned char*>(&copy[0]), copy.size());
    std::fill(copy.begin(), copy.end(), '\0');
    return rv == CKR_USER_ALREADY_LOGGED_IN || Check(rv, "cannot log in");
}

std::vector<ck_object_handle_t> CPkcs11Key::Token::Find(std::vector<ck_attribute> query) {
    std::vector<ck_object_handle_t> found;
    if (f->C_FindObjectsInit(session, query.data(), query.size()) != CKR_OK)
        return found;
    ck_object_handle_t objects[8];
    unsigned long count = 0;
    while (f->C_FindObjects(session, objects, 8, &count) == CKR_OK && count > 0 &&
           found.size() < 64)
        found.insert(found.end(), objects, objects + count);
    f->C_FindObjectsFinal(session);
    return found;
}

std::string CPkcs11Key::Token::Get(ck_object_handle_t object, ck_attribute_type_t type) {
    ck_attribute attribute = Attribute(type, nullptr, 0);
    if (f->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.value_len == static_cast<unsigned long>(-1) || attribute.value_len > 4096)
        return std::string();
    std::string value(attribute.value_len, '\0');
    attribute.value = &value[0];
    if (f->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK)
        return std::string();
    return value;
}

namespace {

const unsigned char kTrue = 1;
const unsigned char kFalse = 0;
const ck_key_type_t kEdwards = CKK_EC_EDWARDS;
const ck_object_class_t kPrivateClass = CKO_PRIVATE_KEY;
const ck_object_class_t kPublicClass = CKO_PUBLIC_KEY;

// The attributes that select a key of the URI, of one class.
std::vector<ck_attribute> KeyQuery(const CPkcs11Uri& uri, const ck_object_class_t& keyClass) {
    std::vector<ck_attribute> query = {Attribute(CKA_CLASS, &keyClass, sizeof keyClass),
                                       Attribute(CKA_KEY_TYPE, &kEdwards, sizeof kEdwards)};
    if (!uri.object.empty())
        query.push_back(Attribute(CKA_LABEL, uri.object.data(), uri.object.size()));
    if (uri.hasId)
        query.push_back(Attribute(CKA_ID, uri.id.data(), uri.id.size()));
    return query;
}

std::string ModulePath(const CPkcs11Uri& uri, const std::string& module) {
    if (!module.empty())
        return module;
    return uri.modulePath.empty() ? CPkcs11Key::DefaultModule() : uri.modulePath;
}

std::string Described(const CPkcs11Uri& uri) {
    std::string text = "Ed25519 private key";
    if (!uri.object.empty())
        text += " object=" + uri.object;
    return text + (uri.hasId ? " with the id given" : "");
}

}  // namespace

// Makes a key pair in the token, both halves kept in it, the private one
// sensitive and never extractable.
ck_rv_t CPkcs11Key::Token::MakePair(const CPkcs11Uri& uri, const unsigned char* params, size_t size,
                                    ck_object_handle_t& publicKey, ck_object_handle_t& privateKey) {
    ck_mechanism mechanism = {CKM_EC_EDWARDS_KEY_PAIR_GEN, nullptr, 0};
    const ck_attribute label = Attribute(CKA_LABEL, uri.object.data(), uri.object.size());
    std::vector<ck_attribute> publicTemplate = {
        Attribute(CKA_TOKEN, &kTrue, 1), Attribute(CKA_PRIVATE, &kFalse, 1),
        Attribute(CKA_VERIFY, &kTrue, 1), Attribute(CKA_EC_PARAMS, params, size), label};
    std::vector<ck_attribute> privateTemplate = {
        Attribute(CKA_TOKEN, &kTrue, 1),     Attribute(CKA_PRIVATE, &kTrue, 1),
        Attribute(CKA_SENSITIVE, &kTrue, 1), Attribute(CKA_EXTRACTABLE, &kFalse, 1),
        Attribute(CKA_SIGN, &kTrue, 1),      label};
    if (uri.hasId) {
        publicTemplate.push_back(Attribute(CKA_ID, uri.id.data(), uri.id.size()));
        privateTemplate.push_back(Attribute(CKA_ID, uri.id.data(), uri.id.size()));
    }
    return f->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                privateTemplate.data(), privateTemplate.size(), &publicKey,
                                &privateKey);
}

const char* CPkcs11Key::DefaultModule() {
    return FWKIT_PKCS11_MODULE;
}

CPkcs11Key::CPkcs11Key(std::unique_ptr<Token> token) : m_token(std::move(token)) {}
CPkcs11Key::~CPkcs11Key() = default;

std::unique_ptr<CPkcs11Key> CPkcs11Key::Open(const CPkcs11Uri& uri, const std::string& module,
                                             const std::string& pin, std::string& problem) {
    auto token = std::make_unique<Token>();
    if (!token->Load(ModulePath(uri, module)) || !token->OpenSession(uri, false, pin)) {
        problem = token->problem;
        return nullptr;
    }
    const std::vector<ck_object_handle_t> keys = token->Find(KeyQuery(uri, kPrivateClass));
    if (keys.size() != 1) {
        problem = keys.empty() ? "the token holds no " + Described(uri)
                               : std::to_string(keys.size()) + " keys match; name one with object=";
        return nullptr;
    }
    std::vector<ck_object_handle_t> publics = token->Find(KeyQuery(uri, kPublicClass));
    const std::string id = token->Get(keys[0], CKA_ID);
    if (publics.size() != 1 && !id.empty()) {
        CPkcs11Uri byId;
        byId.id = id;
        byId.hasId = true;
        publics = token->Find(KeyQuery(byId, kPublicClass));
    }
    if (publics.size() != 1) {
        problem = "the token holds no Ed25519 public key beside the private key";
        return nullptr;
    }
    return Opened(std::move(token), publics[0], keys[0], true, problem);
}

CEd25519Key CPkcs11Key::ReadPublic(const CPkcs11Uri& uri, const std::string& module,
                                   std::string& problem) {
    Token token;
    if (!token.Load(ModulePath(uri, module)) || !token.OpenSession(uri, false, "", false)) {
        problem = token.problem;
        return CEd25519Key();
    }
    const std::vector<ck_object_handle_t> publics = token.Find(KeyQuery(uri, kPublicClass));
    if (publics.size() != 1) {
        problem = publics.empty() ? "the token holds no Ed25519 public key" +
                                        (uri.object.empty() ? "" : " object=" + uri.object)
                                  : std::to_string(publics.size()) +
                                        " public keys match; name one with object=";
        return CEd25519Key();
    }
    CEd25519Key key = CEd25519Key::FromRawPublicKey(PointKey(token.Get(publics[0], CKA_EC_POINT)));
    if (!key.Valid())
        problem = "the token gives no Ed25519 public key (CKA_EC_POINT)";
    return key;
}

std::unique_ptr<CPkcs11Key> CPkcs11Key::Generate(const CPkcs11Uri& uri, const std::string& module,
                                                 const std::string& pin, std::string& problem) {
    if (uri.object.empty()) {
        problem = "a new key needs a label: object=LABEL in the URI";
        return nullptr;
    }
    auto token = std::make_unique<Token>();
    if (!token->Load(ModulePath(uri, module)) || !token->OpenSession(uri, true, pin)) {
        problem = token->problem;
        return nullptr;
    }
    if (!token->Find({Attribute(CKA_LABEL, uri.object.data(), uri.object.size())}).empty()) {
        problem = "the token holds an object labelled " + uri.object +
                  " already; a key is never replaced";
        return nullptr;
    }
    ck_object_handle_t publicKey = 0;
    ck_object_handle_t privateKey = 0;
    ck_rv_t rv = CKR_OK;
    // The curve named by its OID first, then by its name.
    for (const auto& [params, size] : {std::make_pair(kEd25519Oid, sizeof kEd25519Oid),
                                       std::make_pair(kEd25519Name, sizeof kEd25519Name)}) {
        rv = token->MakePair(uri, params, size, publicKey, privateKey);
        if (rv == CKR_OK)
            break;
    }
    if (!token->Check(rv, "cannot make an Ed25519 key pair")) {
        problem = token->problem;
        return nullptr;
    }
    return Opened(std::move(token), publicKey, privateKey, uri.hasId, problem);
}

// The key of a pair found or just made: its public key read from the token,
// and, for a new pair without an id given, the key id as CKA_ID of both halves
// so that "id=" finds them later (a token that keeps its own ids is left alone).
std::unique_ptr<CPkcs11Key> CPkcs11Key::Opened(std::unique_ptr<Token> token,
                                               unsigned long publicKey, unsigned long privateKey,
                                               bool hasId, std::string& problem) {
    const std::string raw = PointKey(token->Get(publicKey, CKA_EC_POINT));
    std::unique_ptr<CPkcs11Key> key(new CPkcs11Key(std::move(token)));
    key->m_privateKey = privateKey;
    key->m_public = CEd25519Key::FromRawPublicKey(raw);
    if (!key->m_public.Valid()) {
        problem = "the token gives no Ed25519 public key (CKA_EC_POINT)";
        return nullptr;
    }
    if (!hasId) {
        std::string id;
        const std::string hex = key->KeyId();
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            id += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        ck_attribute attribute = Attribute(CKA_ID, id.data(), id.size());
        for (ck_object_handle_t object : {publicKey, privateKey})
            key->m_token->f->C_SetAttributeValue(key->m_token->session, object, &attribute, 1);
    }
    return key;
}

std::string CPkcs11Key::Sign(const std::string& message) const {
    ck_mechanism mechanism = {CKM_EDDSA, nullptr, 0};
    unsigned char signature[kSignatureSize];
    unsigned long length = sizeof signature;
    Token& token = *m_token;
    std::string data = message;
    if (!token.Check(token.f->C_SignInit(token.session, &mechanism, m_privateKey),
                     "the token refused to sign") ||
        !token.Check(token.f->C_Sign(token.session, reinterpret_cast<unsigned char*>(&data[0]),
                                     data.size(), signature, &length),
                     "the token did not sign")) {
        m_problem = token.problem;
        return std::string();
    }
    const std::string result(reinterpret_cast<const char*>(signature), length);
    if (length != kSignatureSize || !m_public.Verify(message, result)) {
        m_problem = "the token's signature does not verify with its public key";
        return std::string();
    }
    return result;
}
