#pragma once

// What this program says and proposes on the network, in one place: the
// associations are built from these tables, the connection test proposes
// them, and docs/conformance.md prints them (varnelo-conformance).

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace varnelo::conformance {

// Sent on every association this program opens or accepts.
QString implementationClassUid();
// "VARNELO_" and the version, at most 16 characters.
QString implementationVersionName();

struct NamedUid {
    const char* uid;
    const char* name;
};

struct StorageClass {
    const char* uid;
    const char* modality;  // how the connection test names it to a person
};

// Where a presentation context is proposed.
enum Use : unsigned {
    Echo = 1,             // the launch's and the connection test's C-ECHO
    Store = 2,            // C-STORE of an image
    Commit = 4,           // the storage commitment request
    CommitQuery = 8,      // the Study Root C-FIND where a PACS offers no commitment
    Worklist = 16,        // the Modality Worklist C-FIND
    ConnectionTest = 32,  // the Options dialog's "Test connections"
    StudyQuery = 64,      // what a PACS holds of a study before it is sent
};

struct Proposal {
    const char* abstractSyntax;  // nullptr: each of storageClasses()
    std::vector<NamedUid> transferSyntaxes;
    bool fileSyntax = false;  // also the file's own syntax, in a context of its own
    unsigned uses = 0;        // Use bits
};

// Transfer syntaxes in the order proposed.
const std::vector<NamedUid>& uncompressedSyntaxes();  // images and the worklist
const std::vector<NamedUid>& littleEndianSyntaxes();  // echo, commitment and its query
// Compressed syntaxes an image in them is decoded from when a peer takes
// it only uncompressed.
const std::vector<NamedUid>& decodedSyntaxes();

const std::vector<StorageClass>& storageClasses();
// Everything proposed as requestor, one row per abstract syntax.
const std::vector<Proposal>& proposals();
// Accepted on [DICOM] CommitPort from a PACS that reports there (SCU/SCP role).
const Proposal& commitPortContext();

// The contexts an association of one use proposes: (abstract syntax,
// transfer syntaxes), storage classes each in a context of its own.
struct Context {
    QString abstractSyntax;
    QStringList transferSyntaxes;
    bool operator==(const Context&) const = default;
};
std::vector<Context> contextsFor(Use use);

// The Study Root keys of the IMAGE-level query that stands in for storage
// commitment.
struct QueryKey {
    std::uint16_t group;
    std::uint16_t element;
    const char* value;  // "" asks for the value; nullptr: the study's own UID
};
const std::vector<QueryKey>& commitQueryKeys();

// The toolkit's names for a UID and for an attribute ("" when unknown).
QString uidName(const QString& uid);
QString tagName(std::uint16_t group, std::uint16_t element);

}  // namespace varnelo::conformance
