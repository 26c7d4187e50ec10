// The engine's resource strings: every user-visible text of the engine that is
// not an error-table row. Ids are fixed (LoadTavResString finds a text by id);
// the texts are kept to the letter.
#pragma once

#include <string>

namespace tav {

inline constexpr const char* StavErrorAnonBaseMsg = "The Tavrin database engine raised an error\r\n (error code #%d). %s";  // 65520
inline constexpr const char* StavErrorAnonCustomMsg = "The Tavrin database engine raised an error\r\n %s (error code #%d) - %s";  // 65521
inline constexpr const char* StavFmtIndexNotFoundError = "Index not found %s";  // 65522
inline constexpr const char* StavMasterKeyLabel = "Database Password:";  // 65523
inline constexpr const char* StavPasswordLabel = "User Password:";  // 65524
inline constexpr const char* StavUsernameLabel = "User name:";  // 65525
inline constexpr const char* StavLoginPrompt = "Database Login";  // 65526
inline constexpr const char* StavFileVersionDoesNotSupportOperation = "This database version does not support this operation ";  // 65527
inline constexpr const char* StavOffsetValueIsOutOfRange = "The offset value is out of range";  // 65528
inline constexpr const char* StavObjectNotAssigned = "The requested object has not been assigned";  // 65529
inline constexpr const char* StavIndexFmt = "Index %s";  // 65530
inline constexpr const char* StavValueInvalidFmt = "%s has not been set or is out of range";  // 65531
inline constexpr const char* StavValueOutOfRangeFmt = "%d is not a valid value (min. %d, max. %d)";  // 65532
inline constexpr const char* StavStringInvalidFmt = "%s is not a valid value (min. length %d, max. length %d)";  // 65533
inline constexpr const char* StavTableInUseFmt = "The table %s is in use";  // 65534
inline constexpr const char* StavCorruptEncryptionKey = "The encrpytion key is not valid or corrupted";  // 65535
inline constexpr const char* StavMaxLimitFmt = "Maximum allowed is %d";  // 65504
inline constexpr const char* StavNoEncryptionSupport = "This database does not use/support encryption";  // 65505
inline constexpr const char* StavMastDetError = "Master-detail error";  // 65506
inline constexpr const char* StavMDetFldError = " is not a valid index field for this index";  // 65507
inline constexpr const char* StavDBFileVersionFmt = "Current database disk format is %s";  // 65508
inline constexpr const char* StavDBOperationCannotBePerformed = "This operation can not be performed on this database/table";  // 65509
inline constexpr const char* StavPWordExpired = "The password has expired";  // 65510
inline constexpr const char* StavTableReadLockErr = "A read lock could not be obtained on the table";  // 65511
inline constexpr const char* StavTableWriteLockErr = "A write lock could not be obtained on the table";  // 65512
inline constexpr const char* StavRecordLockErr = "A lock could not be obtained on the record";  // 65513
inline constexpr const char* StavLckFileLockErr = "A lock could not be obtained on the lock file";  // 65514
inline constexpr const char* StavTransactionLockErr = "A transaction lock could not be obtained";  // 65515
inline constexpr const char* StavGeneratorNameFmt = "'%s' is not a valid generator name (min. length 1, '$' is a reserved first character";  // 65516
inline constexpr const char* StavTable = "Table";  // 65517
inline constexpr const char* StavField = "Field";  // 65518
inline constexpr const char* StavIndexFieldOutOfRange = "The specified index field count is out of range";  // 65519
inline constexpr const char* StavOrderByTerminateErr = "Order By clause incorrectly terminated";  // 65488
inline constexpr const char* StavDataTypeUnknown = "Unknown Datatype";  // 65489
inline constexpr const char* StavDataTypeSpecErr = "Data type length/precision not specified";  // 65490
inline constexpr const char* StavDataypeScaleErr = "Data type scale invalid";  // 65491
inline constexpr const char* StavRParenMissing = "Missing Right Parenthesis";  // 65492
inline constexpr const char* StavLParenMissing = "Missing Left Parenthesis";  // 65493
inline constexpr const char* StavBetweenPredErr = "missing AND operator in between predicate";  // 65494
inline constexpr const char* StavExprNoRParenOrComma = "Missing Right Parenthesis or comma";  // 65495
inline constexpr const char* StavEmptyINList = "IN list is empty";  // 65496
inline constexpr const char* StavExprTypeMismatch = "Expression data types do not match";  // 65497
inline constexpr const char* StavExprArithNotSupported = "Arithmetic operators not supported";  // 65498
inline constexpr const char* StavSUBSTRINGInvalid = "Missing FROM or COMMA token in SUBSTRING function";  // 65499
inline constexpr const char* StavExprTerminatedIncorrectly = "Expression incorrectly terminated";  // 65500
inline constexpr const char* StavInvalidToken = "Invalid token";  // 65501
inline constexpr const char* StavEmptyExpr = "Expression is empty";  // 65502
inline constexpr const char* StavCharExprInvalidExprDataType = "Character value expression return type is invalid";  // 65503
inline constexpr const char* StavMissingASOperatorInCASTExpr = "Missing AS operator in Cast expression";  // 65472
inline constexpr const char* StavInvalidFieldinEXTRACTExpr = "Invalid extract field in EXTRACT expression";  // 65473
inline constexpr const char* StavMissingFROMinEXTRACTExpr = "Missing FROM operator in Extract expression";  // 65474
inline constexpr const char* StavInvalidValeExprInEXTRACTExpr = "Extract value expression result type is invalid for extract field";  // 65475
inline constexpr const char* StavExprBadScope = "Scope is invalid";  // 65476
inline constexpr const char* StavIndexNotFound = "Index not found";  // 65477
inline constexpr const char* StavDuplicateIndex = "Index already exists";  // 65478
inline constexpr const char* StavDuplicateField = "Field already exists";  // 65479
inline constexpr const char* StavFieldNotFound = "Field not found";  // 65480
inline constexpr const char* StavTableOrFieldNotFound = "Table and/or field not found";  // 65481
inline constexpr const char* StavTypeConversionErr = "Cannot convert type";  // 65482
inline constexpr const char* StavColumnNameErr = "invalid column name descriptor";  // 65483
inline constexpr const char* StavGroupByTerminateErr = "Group By clause incorrectly terminated";  // 65484
inline constexpr const char* StavColumnNameMissingErr = "missing column name descriptor";  // 65485
inline constexpr const char* StavNonAggColumnNotInGroupBy = "Output column must be specified in Group By clause";  // 65486
inline constexpr const char* StavGroupByColumnNotFound = "Group By column not found";  // 65487
inline constexpr const char* StavParamsNotSupported = "Parameters are not supported";  // 65456
inline constexpr const char* StavParamNotFound = "Parameter name expected but none found";  // 65457
inline constexpr const char* StavHavingColumnNotFoundFmt = "Column name in having clause not found: %s";  // 65458
inline constexpr const char* StavNoGroupByClause = "No group by clause was specified";  // 65459
inline constexpr const char* StavHavingFieldNotInResult = "Fields specified in having clause must appear in the result set";  // 65460
inline constexpr const char* StavSelectTokenMissing = "Missing select token";  // 65461
inline constexpr const char* StavInsertStatmentSyntaxError = "Insert statement syntax is incorrect";  // 65462
inline constexpr const char* StavMissingColumnSpecifier = "Column specification is missing";  // 65463
inline constexpr const char* StavExprSubqueriesNotSupported = "Subqueries are not supported";  // 65464
inline constexpr const char* StavUnrecognizedSQLStatement = "Unrecognised SQL statement type";  // 65465
inline constexpr const char* StavInsertColumnsCountMismatch = "Number of insert columns does not match number of insert values";  // 65466
inline constexpr const char* StavNoInsertColumnsSpecified = "No insert columns were specified";  // 65467
inline constexpr const char* StavSQLStatmentCannotbeExecuted = "SQL statement cannot be executed by ExecSQL";  // 65468
inline constexpr const char* StavSQLStatmentCannotbeOpened = "SQL statement cannot be opened (execute by ExecSQL)";  // 65469
inline constexpr const char* StavDeleteStatmentSyntaxError = "Delete statement syntax is incorrect";  // 65470
inline constexpr const char* StavUpdateStatmentSyntaxError = "Update statement syntax is incorrect";  // 65471
inline constexpr const char* StavUpdateMissingColumnReference = "Update statement missing column reference";  // 65440
inline constexpr const char* StavMissingAssignmentToken = "Missing assignment (=) token";  // 65441
inline constexpr const char* StavInvalidCreateStatement = "Create statment is invalid";  // 65442
inline constexpr const char* StavInvalidAlterTableStatement = "Alter table statment is invalid";  // 65443
inline constexpr const char* StavInvalidDropStatement = "Drop statment is invalid";  // 65444
inline constexpr const char* StavDataTypeInvalid = "Data type is invalid";  // 65445
inline constexpr const char* StavMissingOnToken = "Missing ON token";  // 65446
inline constexpr const char* StavNoIndexColumnsSpecified = "No index columns specified";  // 65447
inline constexpr const char* StavTableExists = "Table already exists";  // 65448
inline constexpr const char* StavTableNotFound = "Table not found";  // 65449
inline constexpr const char* StavEmptySQLStatement = "SQL statment is empty";  // 65450
inline constexpr const char* StavMissingTableReference = "Syntax error. Expected table name";  // 65451
inline constexpr const char* StavResultSetLimitExceededFmt = "Result set limit of %d has been exceeded";  // 65452
inline constexpr const char* StavDataFormatErrorFmt = "Value %s was not of the expected format %s";  // 65453
inline constexpr const char* StavSelectDistinctMaxColsLimit = "Result set colummn count exceeds DISTINCT query limit";  // 65454
inline constexpr const char* StavSelectDistinctInvalidColumnType = "The column is not a valid data type for DISTINCT queries";  // 65455
inline constexpr const char* STavParameterNotFound = "Parameter not found";  // 65424
inline constexpr const char* STavInvalidVersion = "Parameter data version is invalid";  // 65425
inline constexpr const char* STavTrue = "True";  // 65426
inline constexpr const char* STavFalse = "False";  // 65427
inline constexpr const char* StavAggFuncDataError = "Aggregate column data conversion error";  // 65428

struct TavResourceString {
  unsigned short Id;
  const char* Name;
  const char* Text;
};

inline constexpr int C_TAVRESSTRINGS_COUNT = 101;
extern const TavResourceString C_TAVRESSTRINGS[C_TAVRESSTRINGS_COUNT];

// The text of resource string `id`; empty when there is none.
std::string LoadTavResString(int id);

}  // namespace tav
