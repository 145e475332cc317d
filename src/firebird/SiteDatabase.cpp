#include "firebird/SiteDatabase.h"

#include <ibase.h>
#include <firebird/Interface.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <strings.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "firebird/FirebirdClient.h"
#include "firebird/SiteText.h"

using namespace Firebird;

namespace {

constexpr int64_t kMsPerDay = 86400000;
// ISC dates count days from 1858-11-17; the date-time type counts from 1899-12-30.
constexpr int64_t kIscDateOffset = 15018;
constexpr unsigned kSqlDialect = 3;
constexpr size_t kMaxTextParam = 32765;  // bytes of a VARCHAR in a message

IMaster* Master() { return FirebirdMaster(); }

// A status vector with its wrapper; errors become EDatabaseError with the
// client library's own text.
class TStatus {
 public:
  TStatus() : FStatus(Master()->getStatus()), FWrapper(FStatus) {}
  ~TStatus() { FStatus->dispose(); }
  TStatus(const TStatus&) = delete;
  TStatus& operator=(const TStatus&) = delete;

  CheckStatusWrapper* operator&() { return &FWrapper; }
  bool Failed() const { return (FWrapper.getState() & IStatus::STATE_ERRORS) != 0; }
  // Whether the first error is `code` (an isc_* error code).
  bool FirstErrorIs(ISC_STATUS code) const {
    const intptr_t* errors = FStatus->getErrors();
    return Failed() && errors != nullptr && errors[0] == isc_arg_gds && errors[1] == code;
  }
  void Check() {
    if (!Failed()) return;
    const std::string message = Message();
    FWrapper.init();
    throw EDatabaseError(message);
  }
  std::string Message() {
    char buffer[4096];
    const unsigned length =
        Master()->getUtilInterface()->formatStatus(buffer, sizeof buffer, FStatus);
    std::string text(buffer, std::min<size_t>(length, sizeof buffer));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    return text;
  }

 private:
  IStatus* FStatus;
  CheckStatusWrapper FWrapper;
};

template <class T>
struct TRelease {
  void operator()(T* handle) const noexcept {
    if (handle != nullptr) handle->release();
  }
};

template <class T>
struct TDispose {
  void operator()(T* handle) const noexcept {
    if (handle != nullptr) handle->dispose();
  }
};

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$'; }

// The words of the text outside comments, upper-cased, at most maxWords.
std::vector<std::string> LeadingWords(const std::string& sql, size_t maxWords) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < sql.size() && words.size() < maxWords) {
    if (sql.compare(i, 2, "--") == 0) {
      i = sql.find('\n', i);
      if (i == std::string::npos) break;
    } else if (sql.compare(i, 2, "/*") == 0) {
      i = sql.find("*/", i + 2);
      if (i == std::string::npos) break;
      i += 2;
    } else if (IsNameChar(sql[i])) {
      size_t end = i;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      words.push_back(Upper(std::string_view(sql).substr(i, end - i)));
      i = end;
    } else if (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\r' || sql[i] == '\n' ||
               sql[i] == ';') {
      ++i;
    } else {
      break;
    }
  }
  return words;
}

void WriteTimestamp(TDateTime value, ISC_DATE& date, ISC_TIME& time) {
  // The day count and the time of day are separate: before 1899-12-30 the day
  // is negative and its time of day still counts forward from midnight.
  const int64_t total = DateTimeToMilliseconds(value);
  const int64_t days = total / kMsPerDay;
  const int64_t ms = std::llabs(total % kMsPerDay);
  date = static_cast<ISC_DATE>(days + kIscDateOffset);
  time = static_cast<ISC_TIME>(ms * 10);
}

TDateTime ReadTimestamp(ISC_DATE date, ISC_TIME time) {
  const int64_t days = static_cast<int64_t>(date) - kIscDateOffset;
  const int64_t ms = (static_cast<int64_t>(time) + 5) / 10;  // 1/10000 s to ms, rounded
  const double fraction = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

template <class T>
T Load(const unsigned char* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

template <class T>
void Store(unsigned char* data, T value) {
  std::memcpy(data, &value, sizeof value);
}

}  // namespace

template <>
void TFbEnd<IAttachment>::operator()(IAttachment* handle) const noexcept {
  TStatus status;
  handle->detach(&status);
  if (status.Failed()) handle->release();
}

template <>
void TFbEnd<ITransaction>::operator()(ITransaction* handle) const noexcept {
  TStatus status;
  handle->rollback(&status);
  if (status.Failed()) handle->release();
}

template <>
void TFbEnd<IStatement>::operator()(IStatement* handle) const noexcept {
  TStatus status;
  handle->free(&status);
  if (status.Failed()) handle->release();
}

template <>
void TFbEnd<IResultSet>::operator()(IResultSet* handle) const noexcept {
  TStatus status;
  handle->close(&status);
  if (status.Failed()) handle->release();
}

template <>
void TFbEnd<IMessageMetadata>::operator()(IMessageMetadata* handle) const noexcept {
  handle->release();
}

// ---------------------------------------------------------------------------
// TSiteDatabase

TSiteDatabase::TSiteDatabase() = default;

TSiteDatabase::~TSiteDatabase() {
  Disconnect();
  for (TSiteQuery* query : LQueries) query->Unprepare();
}

void TSiteDatabase::Connect(const std::string& databaseName, const std::string& user,
                            const std::string& password) {
  Attach(databaseName, user, password, nullptr);
}

void TSiteDatabase::Create(const std::string& databaseName, const std::string& user,
                           const std::string& password, const TCreateOptions& options) {
  Attach(databaseName, user, password, &options);
}

void TSiteDatabase::Attach(const std::string& databaseName, const std::string& user,
                           const std::string& password, const TCreateOptions* create) {
  Disconnect();
  TStatus status;
  std::unique_ptr<IXpbBuilder, TDispose<IXpbBuilder>> dpb(
      Master()->getUtilInterface()->getXpbBuilder(&status, IXpbBuilder::DPB, nullptr, 0));
  status.Check();
  if (!user.empty()) dpb->insertString(&status, isc_dpb_user_name, user.c_str());
  if (!password.empty()) dpb->insertString(&status, isc_dpb_password, password.c_str());
  // NONE: text is passed through byte for byte in both directions.
  dpb->insertString(&status, isc_dpb_lc_ctype, "NONE");
  if (create != nullptr) {
    dpb->insertInt(&status, isc_dpb_sql_dialect, kSqlDialect);
    dpb->insertInt(&status, isc_dpb_page_size, create->PageSize);
    dpb->insertInt(&status, isc_dpb_force_write, create->ForcedWrites ? 1 : 0);
    if (!create->DefaultCharset.empty()) {
      dpb->insertString(&status, isc_dpb_set_db_charset, create->DefaultCharset.c_str());
    }
  }
  status.Check();

  std::unique_ptr<IProvider, TRelease<IProvider>> provider(Master()->getDispatcher());
  const unsigned dpbLength = dpb->getBufferLength(&status);
  const unsigned char* dpbBuffer = dpb->getBuffer(&status);
  status.Check();
  IAttachment* attachment =
      create != nullptr
          ? provider->createDatabase(&status, databaseName.c_str(), dpbLength, dpbBuffer)
          : provider->attachDatabase(&status, databaseName.c_str(), dpbLength, dpbBuffer);
  if (status.FirstErrorIs(isc_login)) {
    // Firebird's text says only that some login was refused.
    throw EDatabaseLoginError(status.Message() + " (login \"" + user + "\" on " + databaseName + ")");
  }
  status.Check();

  std::lock_guard<std::mutex> lock(LAttachmentLock);
  LAttachment.reset(attachment);
  FDatabaseName = databaseName;
  ++FGeneration;
}

void TSiteDatabase::Disconnect() {
  if (!LAttachment) return;
  CloseResults();
  for (TSiteQuery* query : LQueries) query->Unprepare();
  LTransaction.reset();  // rolls back
  std::lock_guard<std::mutex> lock(LAttachmentLock);
  TStatus status;
  LAttachment->detach(&status);
  if (status.Failed()) {
    LAttachment.reset();  // detach once more, else release
  } else {
    (void)LAttachment.release();  // a successful detach has released the interface
  }
}

bool TSiteDatabase::Connected() const { return LAttachment != nullptr; }

void TSiteDatabase::StartTransaction() {
  if (LTransaction) throw EDatabaseError("Transaction is already active");
  TStatus status;
  ITransaction* transaction = Attachment()->startTransaction(&status, 0, nullptr);
  status.Check();
  LTransaction.reset(transaction);
}

void TSiteDatabase::Commit() {
  ITransaction* transaction = Transaction();
  CloseResults();
  TStatus status;
  transaction->commit(&status);
  status.Check();
  (void)LTransaction.release();  // a successful commit has released the interface
}

void TSiteDatabase::Rollback() {
  ITransaction* transaction = Transaction();
  CloseResults();
  TStatus status;
  transaction->rollback(&status);
  status.Check();
  (void)LTransaction.release();
}

bool TSiteDatabase::InTransaction() const { return LTransaction != nullptr; }

void TSiteDatabase::CancelOperation() {
  std::lock_guard<std::mutex> lock(LAttachmentLock);
  if (!LAttachment) return;
  TStatus status;
  LAttachment->cancelOperation(&status, fb_cancel_raise);
}

IAttachment* TSiteDatabase::Attachment() const {
  if (!LAttachment) throw EDatabaseError("Database not connected");
  return LAttachment.get();
}

ITransaction* TSiteDatabase::Transaction() const {
  if (!LTransaction) throw EDatabaseError("Transaction is not active");
  return LTransaction.get();
}

void TSiteDatabase::Register(TSiteQuery* query) { LQueries.insert(query); }

void TSiteDatabase::Unregister(TSiteQuery* query) { LQueries.erase(query); }

void TSiteDatabase::CloseResults() {
  for (TSiteQuery* query : LQueries) query->CloseResult();
}

// ---------------------------------------------------------------------------
// TSiteQuery

struct TSiteQuery::TParam {
  enum class TKind { Null, Integer, Double, Text, Timestamp, Date };
  std::string Name;
  TKind Kind = TKind::Null;
  int64_t Integer = 0;
  double Double = 0;
  std::string Text;
  ISC_DATE Date = 0;
  ISC_TIME Time = 0;
};

struct TSiteQuery::TColumn {
  std::string Name;
  unsigned Type = 0;
  int Scale = 0;
  unsigned CharSet = 0;  // of text columns
  unsigned Length = 0;
  unsigned Offset = 0;
  unsigned NullOffset = 0;
};

TSiteQuery::TSiteQuery(TSiteDatabase& database, std::string sql) : FDatabase(database) {
  FDatabase.Register(this);
  SetSQL(std::move(sql));
}

TSiteQuery::~TSiteQuery() {
  CloseResult();
  Unprepare();
  FDatabase.Unregister(this);
}

void TSiteQuery::SetSQL(std::string sql) {
  CloseResult();
  Unprepare();
  FSQL = std::move(sql);
  ParseSQL();
}

void TSiteQuery::ParseSQL() {
  FParams.clear();
  FParamPositions.clear();
  FServerSQL.clear();

  const std::vector<std::string> words = LeadingWords(FSQL, 3);
  FIsCommit = (words.size() == 1 && words[0] == "COMMIT") ||
              (words.size() == 2 && words[0] == "COMMIT" && words[1] == "WORK");
  // DDL takes no parameters, and PSQL bodies use ":name" for their own variables.
  static const char* const kUnparsed[] = {"CREATE", "ALTER", "RECREATE", "DROP", "DECLARE",
                                          "GRANT",  "REVOKE", "COMMENT", "SET"};
  const bool executeBlock = words.size() >= 2 && words[0] == "EXECUTE" && words[1] == "BLOCK";
  if (executeBlock || (!words.empty() && std::any_of(std::begin(kUnparsed), std::end(kUnparsed),
                                                     [&](const char* w) { return words[0] == w; }))) {
    FServerSQL = FSQL;
    return;
  }

  const std::string& sql = FSQL;
  FServerSQL.reserve(sql.size());
  size_t i = 0;
  auto copyUntil = [&](size_t end) {
    end = std::min(end, sql.size());
    FServerSQL.append(sql, i, end - i);
    i = end;
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      // A doubled quote inside a literal ends one literal and starts the next,
      // which copies the same bytes.
      const size_t close = sql.find(c, i + 1);
      copyUntil(close == std::string::npos ? sql.size() : close + 1);
    } else if (sql.compare(i, 2, "--") == 0) {
      const size_t eol = sql.find('\n', i);
      copyUntil(eol == std::string::npos ? sql.size() : eol + 1);
    } else if (sql.compare(i, 2, "/*") == 0) {
      const size_t close = sql.find("*/", i + 2);
      copyUntil(close == std::string::npos ? sql.size() : close + 2);
    } else if (c == ':' && i + 1 < sql.size() && IsNameStart(sql[i + 1])) {
      size_t end = i + 1;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      const std::string name = sql.substr(i + 1, end - i - 1);
      size_t index = 0;
      while (index < FParams.size() && !IEquals(FParams[index].Name, name)) ++index;
      if (index == FParams.size()) {
        FParams.emplace_back();
        FParams.back().Name = name;
      }
      FParamPositions.push_back(index);
      FServerSQL += '?';
      i = end;
    } else {
      FServerSQL += c;
      ++i;
    }
  }
}

std::vector<std::string> TSiteQuery::ParamNames() const {
  std::vector<std::string> names;
  for (const TParam& param : FParams) names.push_back(param.Name);
  return names;
}

TSiteQuery::TParam& TSiteQuery::FindParam(std::string_view name) {
  for (TParam& param : FParams) {
    if (IEquals(param.Name, name)) return param;
  }
  throw EDatabaseError("Parameter " + std::string(name) + " not found");
}

void TSiteQuery::SetInteger(std::string_view name, int64_t value) {
  TParam& param = FindParam(name);
  param.Kind = TParam::TKind::Integer;
  param.Integer = value;
}

void TSiteQuery::SetDouble(std::string_view name, double value) {
  TParam& param = FindParam(name);
  param.Kind = TParam::TKind::Double;
  param.Double = value;
}

void TSiteQuery::SetText(std::string_view name, std::string_view value) {
  TParam& param = FindParam(name);
  param.Kind = TParam::TKind::Text;
  param.Text.assign(value);
}

void TSiteQuery::SetTimestamp(std::string_view name, TDateTime value) {
  TParam& param = FindParam(name);
  param.Kind = TParam::TKind::Timestamp;
  WriteTimestamp(value, param.Date, param.Time);
}

void TSiteQuery::SetDate(std::string_view name, TDateTime value) {
  TParam& param = FindParam(name);
  param.Kind = TParam::TKind::Date;
  WriteTimestamp(value, param.Date, param.Time);
  param.Time = 0;
}

void TSiteQuery::SetNull(std::string_view name) { FindParam(name).Kind = TParam::TKind::Null; }

bool TSiteQuery::Prepared() const {
  return LStatement != nullptr && LGeneration == FDatabase.Generation();
}

void TSiteQuery::Prepare() {
  if (FIsCommit) return;
  CloseResult();
  Unprepare();
  IAttachment* attachment = FDatabase.Attachment();
  ITransaction* transaction = FDatabase.Transaction();
  TStatus status;
  LStatement.reset(attachment->prepare(&status, transaction, 0, FServerSQL.c_str(), kSqlDialect,
                                       IStatement::PREPARE_PREFETCH_METADATA));
  status.Check();
  LGeneration = FDatabase.Generation();
  LStatementType = LStatement->getType(&status);
  LServerInputMeta.reset(LStatement->getInputMetadata(&status));
  status.Check();
  LOutputMeta.reset(LStatement->getOutputMetadata(&status));
  status.Check();

  const unsigned inputs = LServerInputMeta->getCount(&status);
  status.Check();
  if (inputs != FParamPositions.size()) {
    Unprepare();
    throw EDatabaseError("The statement has " + std::to_string(inputs) +
                         " parameters where its text names " +
                         std::to_string(FParamPositions.size()));
  }

  const unsigned count = LOutputMeta->getCount(&status);
  LColumns.clear();
  LColumns.reserve(count);
  for (unsigned index = 0; index < count; ++index) {
    TColumn column;
    const char* alias = LOutputMeta->getAlias(&status, index);
    column.Name = alias != nullptr && *alias != '\0' ? alias : LOutputMeta->getField(&status, index);
    column.Type = LOutputMeta->getType(&status, index) & ~1u;
    column.Scale = LOutputMeta->getScale(&status, index);
    if (column.Type == SQL_TEXT || column.Type == SQL_VARYING) {
      column.CharSet = LOutputMeta->getCharSet(&status, index) & 0xFFu;
    }
    column.Length = LOutputMeta->getLength(&status, index);
    column.Offset = LOutputMeta->getOffset(&status, index);
    column.NullOffset = LOutputMeta->getNullOffset(&status, index);
    status.Check();
    LColumns.push_back(std::move(column));
  }
  LRow.assign(LOutputMeta->getMessageLength(&status), 0);
  status.Check();
}

void TSiteQuery::EnsurePrepared() {
  if (!Prepared()) Prepare();
}

void TSiteQuery::Unprepare() {
  LResultSet.reset();
  LInputMeta.reset();
  LInputSignature.clear();
  LServerInputMeta.reset();
  LOutputMeta.reset();
  LStatement.reset();
  LColumns.clear();
  LStatementType = 0;
  FEof = true;
}

void TSiteQuery::CloseResult() {
  LResultSet.reset();
  FEof = true;
}

IMessageMetadata* TSiteQuery::BuildInput(std::vector<unsigned char>& buffer) {
  if (FParamPositions.empty()) {
    buffer.clear();
    return nullptr;
  }
  TStatus status;
  // Each parameter goes to the server in the type of the value set, which the
  // server converts to the type it expects; the message is rebuilt only when a
  // type or a text length changed. Text is encoded in the character set of
  // its target, so that the server stores the characters set, not the bytes
  // of their UTF-8 form; a target that is not text takes it as NONE.
  std::vector<unsigned> signature;
  signature.reserve(FParamPositions.size() * 3);
  std::vector<std::string> texts(FParamPositions.size());
  for (size_t position = 0; position < FParamPositions.size(); ++position) {
    const TParam& param = FParams[FParamPositions[position]];
    const unsigned index = static_cast<unsigned>(position);
    unsigned type = 0;
    unsigned length = 0;
    unsigned charset = 0;
    switch (param.Kind) {
      case TParam::TKind::Null:
        type = LServerInputMeta->getType(&status, index) & ~1u;
        length = LServerInputMeta->getLength(&status, index);
        charset = LServerInputMeta->getCharSet(&status, index);
        break;
      case TParam::TKind::Integer: type = SQL_INT64; length = 8; break;
      case TParam::TKind::Double: type = SQL_DOUBLE; length = 8; break;
      case TParam::TKind::Timestamp: type = SQL_TIMESTAMP; length = 8; break;
      case TParam::TKind::Date: type = SQL_TYPE_DATE; length = 4; break;
      case TParam::TKind::Text: {
        type = SQL_VARYING;
        const unsigned serverType = LServerInputMeta->getType(&status, index) & ~1u;
        if (serverType == SQL_TEXT || serverType == SQL_VARYING) {
          charset = LServerInputMeta->getCharSet(&status, index) & 0xFFu;
        }
        texts[position] = Utf8ToSiteText(param.Text, charset);
        if (texts[position].size() > kMaxTextParam) {
          throw EDatabaseError("Parameter " + param.Name + " is too long");
        }
        length = static_cast<unsigned>(std::max<size_t>(texts[position].size(), 1));
        break;
      }
    }
    status.Check();
    signature.insert(signature.end(), {type, length, charset});
  }

  if (!LInputMeta || signature != LInputSignature) {
    LInputMeta.reset();
    std::unique_ptr<IMetadataBuilder, TRelease<IMetadataBuilder>> builder(
        LServerInputMeta->getBuilder(&status));
    status.Check();
    for (unsigned index = 0; index < FParamPositions.size(); ++index) {
      builder->setType(&status, index, signature[index * 3] | 1u);
      builder->setSubType(&status, index, 0);
      builder->setScale(&status, index, 0);
      builder->setLength(&status, index, signature[index * 3 + 1]);
      builder->setCharSet(&status, index, signature[index * 3 + 2]);
      status.Check();
    }
    LInputMeta.reset(builder->getMetadata(&status));
    status.Check();
    LInputSignature = std::move(signature);
  }

  buffer.assign(LInputMeta->getMessageLength(&status), 0);
  status.Check();
  for (unsigned index = 0; index < FParamPositions.size(); ++index) {
    const TParam& param = FParams[FParamPositions[index]];
    unsigned char* data = buffer.data() + LInputMeta->getOffset(&status, index);
    unsigned char* null = buffer.data() + LInputMeta->getNullOffset(&status, index);
    status.Check();
    Store<int16_t>(null, param.Kind == TParam::TKind::Null ? -1 : 0);
    switch (param.Kind) {
      case TParam::TKind::Null: break;
      case TParam::TKind::Integer: Store<int64_t>(data, param.Integer); break;
      case TParam::TKind::Double: Store<double>(data, param.Double); break;
      case TParam::TKind::Timestamp:
        Store<ISC_DATE>(data, param.Date);
        Store<ISC_TIME>(data + sizeof(ISC_DATE), param.Time);
        break;
      case TParam::TKind::Date: Store<ISC_DATE>(data, param.Date); break;
      case TParam::TKind::Text:
        Store<uint16_t>(data, static_cast<uint16_t>(texts[index].size()));
        std::memcpy(data + sizeof(uint16_t), texts[index].data(), texts[index].size());
        break;
    }
  }
  return LInputMeta.get();
}

void TSiteQuery::Open() {
  if (FIsCommit) throw EDatabaseError("COMMIT returns no rows");
  if (LResultSet) throw EDatabaseError("The query is already open");
  EnsurePrepared();
  if (LStatementType != isc_info_sql_stmt_select &&
      LStatementType != isc_info_sql_stmt_select_for_upd) {
    throw EDatabaseError("The statement returns no rows; use ExecSQL");
  }
  std::vector<unsigned char> input;
  IMessageMetadata* inputMeta = BuildInput(input);
  TStatus status;
  IResultSet* resultSet =
      LStatement->openCursor(&status, FDatabase.Transaction(), inputMeta,
                             input.empty() ? nullptr : input.data(), LOutputMeta.get(), 0);
  status.Check();
  LResultSet.reset(resultSet);
  FEof = false;
  FetchNext();
}

void TSiteQuery::FetchNext() {
  TStatus status;
  const int result = LResultSet->fetchNext(&status, LRow.data());
  if (status.Failed()) {
    const std::string message = status.Message();
    CloseResult();
    throw EDatabaseError(message);
  }
  FEof = result != IStatus::RESULT_OK;
}

void TSiteQuery::Next() {
  if (!LResultSet) throw EDatabaseError("The query is not open");
  if (!FEof) FetchNext();
}

void TSiteQuery::Close() { CloseResult(); }

int64_t TSiteQuery::ExecSQL() {
  if (FIsCommit) {
    if (FDatabase.InTransaction()) FDatabase.Commit();
    FDatabase.StartTransaction();
    return 0;
  }
  CloseResult();
  EnsurePrepared();
  if (LStatementType == isc_info_sql_stmt_select ||
      LStatementType == isc_info_sql_stmt_select_for_upd) {
    Open();
    Close();
    return 0;
  }
  std::vector<unsigned char> input;
  IMessageMetadata* inputMeta = BuildInput(input);
  const bool hasOutput = !LColumns.empty();
  TStatus status;
  LStatement->execute(&status, FDatabase.Transaction(), inputMeta,
                      input.empty() ? nullptr : input.data(), hasOutput ? LOutputMeta.get() : nullptr,
                      hasOutput ? LRow.data() : nullptr);
  status.Check();
  if (LStatementType == isc_info_sql_stmt_ddl) return 0;
  const ISC_UINT64 affected = LStatement->getAffectedRecords(&status);
  status.Check();
  return static_cast<int64_t>(affected);
}

size_t TSiteQuery::FieldCount() const { return LColumns.size(); }

std::string TSiteQuery::FieldName(size_t index) const {
  if (index >= LColumns.size()) throw EDatabaseError("Field index out of range");
  return LColumns[index].Name;
}

bool TSiteQuery::HasField(std::string_view name) const {
  return std::any_of(LColumns.begin(), LColumns.end(),
                     [&](const TColumn& column) { return IEquals(column.Name, name); });
}

const TSiteQuery::TColumn& TSiteQuery::ColumnOf(std::string_view name) const {
  for (const TColumn& column : LColumns) {
    if (IEquals(column.Name, name)) {
      if (!LResultSet || FEof) throw EDatabaseError("No current row to read " + std::string(name));
      return column;
    }
  }
  throw EDatabaseError("Field " + std::string(name) + " not found");
}

const unsigned char* TSiteQuery::DataOf(const TColumn& column) const {
  if (Load<int16_t>(LRow.data() + column.NullOffset) != 0) return nullptr;
  return LRow.data() + column.Offset;
}

bool TSiteQuery::IsNull(std::string_view name) const { return DataOf(ColumnOf(name)) == nullptr; }

namespace {

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxIntegerPower = 18;  // 10^18 is the largest power in an int64
constexpr int64_t kExactDoubleInteger = int64_t{1} << 53;

int64_t IntegerPower(int exponent) {
  int64_t power = 1;
  for (int i = 0; i < exponent; ++i) power *= 10;
  return power;
}

// The exact decimal text of value * 10^scale, without trailing zeros after
// the point.
std::string ScaledText(int64_t value, int scale) {
  const bool negative = value < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  if (scale >= 0) {
    if (magnitude != 0) digits.append(static_cast<size_t>(scale), '0');
  } else {
    const size_t decimals = static_cast<size_t>(-scale);
    if (digits.size() <= decimals) digits.insert(0, decimals - digits.size() + 1, '0');
    digits.insert(digits.size() - decimals, 1, '.');
    while (digits.back() == '0') digits.pop_back();
    if (digits.back() == '.') digits.pop_back();
  }
  return negative && magnitude != 0 ? "-" + digits : digits;
}

// The double nearest to value * 10^scale. Dividing an exactly held integer
// by an exactly held power of ten rounds once, to the nearest double; the
// rounded power 10^-n that a multiplication would need is off already, so
// that 35 * 0.01 gives 0.35000000000000003 where 35 / 100 gives 0.35.
double ScaledToDouble(int64_t value, int scale) {
  const int exponent = scale < 0 ? -scale : scale;
  const bool exactValue = value <= kExactDoubleInteger && value >= -kExactDoubleInteger;
  if (exactValue && exponent < static_cast<int>(std::size(kExactPowers))) {
    const double power = kExactPowers[exponent];
    return scale < 0 ? static_cast<double>(value) / power : static_cast<double>(value) * power;
  }
  const std::string text = ScaledText(value, scale);
  double result = 0;
  std::from_chars(text.data(), text.data() + text.size(), result);
  return result;
}

// value * 10^scale rounded to an integer, halves away from zero.
int64_t ScaledToInteger(int64_t value, int scale) {
  if (scale >= 0) return value * IntegerPower(scale);
  if (-scale > kMaxIntegerPower) return 0;  // below one half whatever the value
  const int64_t power = IntegerPower(-scale);
  const int64_t quotient = value / power;
  const int64_t remainder = value % power;
  const uint64_t twice = 2 * static_cast<uint64_t>(remainder < 0 ? -remainder : remainder);
  if (twice >= static_cast<uint64_t>(power)) return quotient + (value < 0 ? -1 : 1);
  return quotient;
}

int64_t LoadScaled(const unsigned char* data, unsigned type) {
  return type == SQL_SHORT ? Load<int16_t>(data) : type == SQL_LONG ? Load<int32_t>(data) : Load<int64_t>(data);
}

}  // namespace

double TSiteQuery::AsFloat(std::string_view name) const {
  const TColumn& column = ColumnOf(name);
  const unsigned char* data = DataOf(column);
  if (data == nullptr) return 0.0;
  switch (column.Type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: return ScaledToDouble(LoadScaled(data, column.Type), column.Scale);
    case SQL_FLOAT: return Load<float>(data);
    case SQL_DOUBLE:
    case SQL_D_FLOAT: return Load<double>(data);
    case SQL_BOOLEAN: return Load<unsigned char>(data) != 0 ? 1.0 : 0.0;
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: return AsDateTime(name);
    case SQL_TEXT:
    case SQL_VARYING: {
      const std::string text = AsString(name);
      try {
        size_t used = 0;
        const double value = std::stod(text, &used);
        if (text.find_first_not_of(' ', used) == std::string::npos) return value;
      } catch (const std::exception&) {
      }
      throw EDatabaseError("'" + text + "' is not a valid floating point value");
    }
    default: throw EDatabaseError("Field " + column.Name + " cannot be read as a number");
  }
}

int64_t TSiteQuery::AsInteger(std::string_view name) const {
  const TColumn& column = ColumnOf(name);
  const unsigned char* data = DataOf(column);
  if (data == nullptr) return 0;
  switch (column.Type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: return ScaledToInteger(LoadScaled(data, column.Type), column.Scale);
    case SQL_BOOLEAN: return Load<unsigned char>(data) != 0 ? 1 : 0;
    case SQL_TEXT:
    case SQL_VARYING: {
      const std::string text = AsString(name);
      try {
        size_t used = 0;
        const long long value = std::stoll(text, &used);
        if (text.find_first_not_of(' ', used) == std::string::npos) return value;
      } catch (const std::exception&) {
      }
      throw EDatabaseError("'" + text + "' is not a valid integer value");
    }
    default: return std::llround(AsFloat(name));
  }
}

TDateTime TSiteQuery::AsDateTime(std::string_view name) const {
  const TColumn& column = ColumnOf(name);
  const unsigned char* data = DataOf(column);
  if (data == nullptr) return 0.0;
  switch (column.Type) {
    case SQL_TIMESTAMP:
      return ReadTimestamp(Load<ISC_DATE>(data), Load<ISC_TIME>(data + sizeof(ISC_DATE)));
    case SQL_TYPE_DATE: return ReadTimestamp(Load<ISC_DATE>(data), 0);
    case SQL_TYPE_TIME: return ReadTimestamp(static_cast<ISC_DATE>(kIscDateOffset), Load<ISC_TIME>(data));
    case SQL_TEXT:
    case SQL_VARYING:
      throw EDatabaseError("Field " + column.Name + " cannot be read as a date-time");
    default: return AsFloat(name);
  }
}

std::string TSiteQuery::AsString(std::string_view name) const {
  const TColumn& column = ColumnOf(name);
  const unsigned char* data = DataOf(column);
  if (data == nullptr) return std::string();
  switch (column.Type) {
    case SQL_TEXT:
      return SiteTextToUtf8(std::string_view(reinterpret_cast<const char*>(data), column.Length),
                            column.CharSet);
    case SQL_VARYING:
      return SiteTextToUtf8(std::string_view(reinterpret_cast<const char*>(data) + sizeof(uint16_t),
                                             Load<uint16_t>(data)),
                            column.CharSet);
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: return ScaledText(LoadScaled(data, column.Type), column.Scale);
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.15g", AsFloat(name));
      return buffer;
    }
    case SQL_BOOLEAN: return Load<unsigned char>(data) != 0 ? "True" : "False";
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: return DateTimeToText(AsDateTime(name));
    default: throw EDatabaseError("Field " + column.Name + " cannot be read as text");
  }
}
