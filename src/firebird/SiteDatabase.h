#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "model/DataRow.h"

namespace Firebird {
class IAttachment;
class ITransaction;
class IStatement;
class IResultSet;
class IMessageMetadata;
}  // namespace Firebird

class TSiteQuery;

// Ends the life of a Firebird interface: detaches an attachment, rolls back a
// transaction, frees a statement, closes a result set, and when that fails
// releases the reference. Defined for the interfaces used here.
template <class T>
struct TFbEnd {
  void operator()(T* handle) const noexcept;
};
template <>
void TFbEnd<Firebird::IAttachment>::operator()(Firebird::IAttachment*) const noexcept;
template <>
void TFbEnd<Firebird::ITransaction>::operator()(Firebird::ITransaction*) const noexcept;
template <>
void TFbEnd<Firebird::IStatement>::operator()(Firebird::IStatement*) const noexcept;
template <>
void TFbEnd<Firebird::IResultSet>::operator()(Firebird::IResultSet*) const noexcept;
template <>
void TFbEnd<Firebird::IMessageMetadata>::operator()(Firebird::IMessageMetadata*) const noexcept;
template <class T>
using TFbRef = std::unique_ptr<T, TFbEnd<T>>;

// A connection to a Firebird database with its one default transaction, on the
// Firebird client library.
//
// A database name without a host ("/data/site.fdb") is opened by the embedded
// engine in this process; "host:path" and "host/port:path" go to a server.
// The connection uses the character set NONE, so the server sends and takes
// text in the bytes stored, without converting it. The queries convert it: a
// text column reads as UTF-8 decoded by the character set its metadata
// declares, and a text parameter is encoded in the character set of its
// target (firebird/SiteText.h says how each set is read and written; NONE
// is Windows-1252). Callers see UTF-8 only. CHAR columns keep their padding,
// which for a multi-byte set fills the declared length in bytes.
//
// The default transaction uses the server's defaults (snapshot, wait,
// read-write). Every failure of the client library raises EDatabaseError
// carrying Firebird's own message text.
//
// Threading: one thread uses the connection and its queries. CancelOperation
// alone may be called from any other thread at any time.
class TSiteDatabase {
 public:
  TSiteDatabase();
  ~TSiteDatabase();
  TSiteDatabase(const TSiteDatabase&) = delete;
  TSiteDatabase& operator=(const TSiteDatabase&) = delete;

  // Attaches to databaseName. Disconnects first when connected. Raises
  // EDatabaseLoginError, naming the login, when the login is refused, and
  // EDatabaseError when the database cannot be opened.
  void Connect(const std::string& databaseName, const std::string& user,
               const std::string& password);
  // Creates the database and stays connected to it; user becomes its owner.
  // For fixtures and tools: the collector itself never creates a database.
  struct TCreateOptions {
    std::string DefaultCharset = "WIN1252";
    int PageSize = 8192;
    bool ForcedWrites = true;
  };
  void Create(const std::string& databaseName, const std::string& user,
              const std::string& password, const TCreateOptions& options);
  // Rolls back an active transaction, closes every query's result and
  // statement, and detaches. Never raises; nothing happens when not connected.
  void Disconnect();
  bool Connected() const;
  const std::string& DatabaseName() const { return FDatabaseName; }

  // The default transaction. StartTransaction raises when one is already
  // active; Commit and Rollback raise when none is. Ending the transaction
  // closes the open results of every query of this connection.
  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const;

  // Makes the statement running on this connection, if any, end with the
  // error "operation was cancelled". Thread-safe; never raises.
  void CancelOperation();

  // A number that changes with every Connect, so that a prepared query can
  // tell that its statement belongs to an earlier attachment.
  uint64_t Generation() const { return FGeneration; }

 private:
  friend class TSiteQuery;
  Firebird::IAttachment* Attachment() const;  // raises when not connected
  Firebird::ITransaction* Transaction() const;  // raises when no transaction is active
  void Register(TSiteQuery* query);
  void Unregister(TSiteQuery* query);
  void CloseResults();
  void Attach(const std::string& databaseName, const std::string& user,
              const std::string& password, const TCreateOptions* create);

  std::string FDatabaseName;
  TFbRef<Firebird::IAttachment> LAttachment;
  TFbRef<Firebird::ITransaction> LTransaction;
  std::set<TSiteQuery*> LQueries;
  uint64_t FGeneration = 0;
  mutable std::mutex LAttachmentLock;  // guards LAttachment against CancelOperation
};

// One SQL statement run on a TSiteDatabase and its default transaction. The
// connection must outlive the query.
//
// Parameters are named in the SQL text as ":Name" (letters, digits, "_", "$");
// a name may occur several times and is set once. Names compare without regard
// to case. A colon inside a string literal, a quoted identifier or a comment
// is not a parameter, and DDL statements (CREATE, ALTER, RECREATE, DROP, ...)
// are sent unchanged. The server receives positional "?" markers. A parameter
// that was never set is sent as NULL; values persist across executions until
// set again or the SQL text changes.
//
// The statement text "COMMIT" (or "COMMIT WORK") is not sent to the server:
// ExecSQL commits the default transaction and starts a fresh one.
//
// A prepared statement survives transaction changes. After the connection was
// closed and opened again the statement is prepared again when next used.
//
// The current row of an open result implements TDataRow: columns are found by
// their alias (their name when they have none), without regard to case, the
// first column of a name winning; NULL reads as 0, 0.0, date-time 0 or "".
// A scaled integer (NUMERIC, DECIMAL) reads as the double nearest to its
// decimal value, as that value rounded half away from zero by AsInteger, and
// as its exact decimal text without trailing zeros by AsString.
// Reading a row when there is none (Eof), or a BLOB column, raises
// EDatabaseError.
class TSiteQuery : public TDataRow {
 public:
  explicit TSiteQuery(TSiteDatabase& database, std::string sql = {});
  ~TSiteQuery() override;
  TSiteQuery(const TSiteQuery&) = delete;
  TSiteQuery& operator=(const TSiteQuery&) = delete;

  // Replaces the statement text; closes and unprepares, and forgets the
  // parameter values.
  void SetSQL(std::string sql);
  const std::string& SQL() const { return FSQL; }
  // The text as sent to the server, with "?" in place of named parameters.
  const std::string& ServerSQL() const { return FServerSQL; }
  // The parameter names in order of first occurrence, as written.
  std::vector<std::string> ParamNames() const;

  // Prepares the statement on the connection. Needs an active transaction.
  void Prepare();
  bool Prepared() const;

  // Set every occurrence of the named parameter. Raise EDatabaseError for a
  // name the statement does not have. SetText takes UTF-8; a text longer than
  // 32765 bytes in the target's character set raises when the statement runs.
  void SetInteger(std::string_view name, int64_t value);
  void SetDouble(std::string_view name, double value);
  void SetText(std::string_view name, std::string_view value);
  void SetTimestamp(std::string_view name, TDateTime value);
  void SetDate(std::string_view name, TDateTime value);  // the day of value
  void SetNull(std::string_view name);

  // Runs a statement that returns rows and moves to the first row (Eof when
  // there is none). Prepares when needed. Raises when the statement returns
  // no rows (use ExecSQL) or when a result is already open.
  void Open();
  bool Active() const { return LResultSet != nullptr; }
  bool Eof() const { return FEof; }
  // Moves to the next row; Eof after the last one.
  void Next();
  // Closes the result; nothing happens when none is open.
  void Close();

  // Runs a statement that returns no result set (DML, DDL, EXECUTE
  // PROCEDURE) and returns the rows it inserted, updated or deleted (0 for
  // DDL). A SELECT is run and its result discarded.
  int64_t ExecSQL();

  // Columns of the current result (available once prepared).
  size_t FieldCount() const;
  std::string FieldName(size_t index) const;

  // TDataRow, on the current row.
  bool HasField(std::string_view name) const override;
  bool IsNull(std::string_view name) const override;
  int64_t AsInteger(std::string_view name) const override;
  double AsFloat(std::string_view name) const override;
  TDateTime AsDateTime(std::string_view name) const override;
  std::string AsString(std::string_view name) const override;

 private:
  friend class TSiteDatabase;
  struct TParam;
  struct TColumn;

  void ParseSQL();
  TParam& FindParam(std::string_view name);
  void EnsurePrepared();
  void Unprepare();  // releases the statement; used when the attachment ends
  void CloseResult();  // releases the result set without raising
  // The input message for the current parameter values, written to buffer.
  Firebird::IMessageMetadata* BuildInput(std::vector<unsigned char>& buffer);
  void FetchNext();
  const TColumn& ColumnOf(std::string_view name) const;  // raises when absent or no row
  const unsigned char* DataOf(const TColumn& column) const;

  TSiteDatabase& FDatabase;
  std::string FSQL;
  std::string FServerSQL;
  bool FIsCommit = false;
  std::vector<TParam> FParams;          // distinct names
  std::vector<size_t> FParamPositions;  // for each "?", its index in FParams

  TFbRef<Firebird::IStatement> LStatement;
  TFbRef<Firebird::IMessageMetadata> LServerInputMeta;
  TFbRef<Firebird::IMessageMetadata> LOutputMeta;
  TFbRef<Firebird::IMessageMetadata> LInputMeta;  // built for the last values set
  std::vector<unsigned> LInputSignature;
  uint64_t LGeneration = 0;
  unsigned LStatementType = 0;
  std::vector<TColumn> LColumns;

  TFbRef<Firebird::IResultSet> LResultSet;
  std::vector<unsigned char> LRow;
  bool FEof = true;
};
