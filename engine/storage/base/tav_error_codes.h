// The engine's error codes by name: one per row of C_TAVERRORS
// (tav_errors_table.cpp), named after the row's message, so that a raising
// site reads TavDatabaseError(kTableIsOpen, ...) rather than a number. The
// table keeps the texts; a row without a message has no name. Rows are in
// the table's order, in its groups (by the code's high byte).
#pragma once

namespace tav {

inline constexpr int kCannotOpenRequestedFile = 8449;  // "Cannot open the requested file"
inline constexpr int kIOErrorOnSystemFile = 8450;      // "I/O error on a system file"
inline constexpr int kDataStructureCorruption = 8451;  // "Data structure corruption"
// "System has been illegally re-entered"
inline constexpr int kSystemHasBeenIllegallyReEntered = 8455;
inline constexpr int kCannotLoadServiceDll = 8458;  // "Cannot load a service DLL"
// "Cannot create or open temporary file"
inline constexpr int kCannotCreateOrOpenTemporaryFile = 8459;
inline constexpr int kSharedMemoryConflict = 8461;          // "Shared memory conflict"
inline constexpr int kSystemObjectIsNotInitialized = 8576;  // "System object is not initialized"
// "Operation is not valid on this object"
inline constexpr int kOperationIsNotValidOnThisObject = 8577;
inline constexpr int kRequestedObjectIsInUse = 8578;  // "The requested object is in use"
// "The requested object could not be found"
inline constexpr int kRequestedObjectCouldNotBeFound = 8579;
inline constexpr int kRequestedObjectAlreadyExists = 8580;  // "The requested object already exists"
// "There was an unexpected internal error in the database engine"
inline constexpr int kUnexpectedInternalError = 8581;
// "The database file could not be created"
inline constexpr int kDatabaseFileCouldNotBeCreated = 8582;

inline constexpr int kBeginningOfVirtualTable = 8705;    // "Beginning of Virtual table"
inline constexpr int kEndOfVirtualTable = 8706;          // "End of Virtual table"
inline constexpr int kFlyAway = 8707;                    // "Fly-away"
inline constexpr int kRecordDeletedKeyModified = 8708;   // "Record Deleted/Key Modified"
inline constexpr int kNoCurrentRecord = 8709;            // "No current record"
inline constexpr int kRecordWasNotFound = 8710;          // "Record was not found"
inline constexpr int kEndOfBlobReached = 8711;           // "End of Blob reached"
inline constexpr int kNotFound = 8712;                   // "Generic Not found"
inline constexpr int kFamilyMemberNotFound = 8713;       // "Family member not found"
inline constexpr int kBlobFileForTableIsMissing = 8714;  // "Blob file for table is missing"
inline constexpr int kLanguageDriverNotFound = 8715;     // "Language driver not found"

inline constexpr int kCorruptHeader = 8961;              // "Corrupt Header"
inline constexpr int kFileCorrupt = 8962;                // "File corrupt - other than header"
inline constexpr int kMemoFileCorrupted = 8963;          // "Memo file corrupted"
inline constexpr int kBitMapIsCorrupt = 8964;            // "BitMap is corrupt (Internal error)"
inline constexpr int kIndexIsCorrupt = 8965;             // "Index is corrupt"
inline constexpr int kCorruptLockFile = 8966;            // "Corrupt lock file"
inline constexpr int kCorruptFamilyFile = 8967;          // "Corrupt family file"
inline constexpr int kValFileIsMissingOrCorrupt = 8968;  // "Val file is missing or corrupt"
// "Index is in a foreign format - import first"
inline constexpr int kIndexIsInForeignFormat = 8969;

inline constexpr int kDiskReadFailure = 9217;         // "Disk read failure"
inline constexpr int kDiskWriteFailure = 9218;        // "Disk write failure"
inline constexpr int kNoAccessToDirectory = 9219;     // "No access to directory"
inline constexpr int kFileDeleteFailed = 9220;        // "File delete failed"
inline constexpr int kFileCouldNotBeAccessed = 9221;  // "The file could not be accessed"
// "Access to the table is disabled (previous error)"
inline constexpr int kAccessToTableIsDisabled = 9222;
inline constexpr int kFileCopyFailed = 9344;  // "File copy failed"

inline constexpr int kNotEnoughMemoryForThisOp = 9473;     // "Not enough Memory for this op"
inline constexpr int kNotEnoughFileHandles = 9474;         // "Not enough File handles"
inline constexpr int kNotEnoughDiskSpace = 9475;           // "Not enough Disk space"
inline constexpr int kTemporaryTableResourceLimit = 9476;  // "Temporary Table resource limit"
inline constexpr int kTooBigRecordSizeForTable = 9477;     // "Too big a record size for table"
inline constexpr int kTooManyOpenCursors = 9478;           // "Too many open cursors"
inline constexpr int kTableIsFull = 9479;                  // "Table is full"
inline constexpr int kTooManySessionsFromThisWs = 9480;    // "Too many sessions from this WS"
inline constexpr int kSerialNumberLimit = 9481;
inline constexpr int kInternalLimit = 9482;              // "Some internal limit (see context)"
inline constexpr int kTooManyOpenTables = 9483;          // "Too many open tables"
inline constexpr int kTooManyCursorsPerTable = 9484;     // "Too many cursors per table"
inline constexpr int kTooManyRecordLocksOnTable = 9485;  // "Too many record locks on table"
inline constexpr int kTooManyClients = 9486;             // "Too many clients"
inline constexpr int kTooManyIndexesForTable = 9487;  // "Too many indexes (also in Table Create)"
inline constexpr int kTooManySessions = 9488;         // "Too many sessions"
inline constexpr int kTooManyDatabases = 9489;        // "Too many databases"
inline constexpr int kTooManyPasswords = 9490;        // "Too many passwords"
inline constexpr int kTooManyActiveDrivers = 9491;    // "Too many active drivers"
// "None or too many Fields in Table Create"
inline constexpr int kNoneOrTooManyFieldsInTableCreate = 9492;
inline constexpr int kTooManyTableLocks = 9493;        // "Too many table locks"
inline constexpr int kTooManyOpenBlobs = 9494;         // "Too many open blobs"
inline constexpr int kLockFileHasGrownTooBig = 9495;   // "Lock file has grown too big"
inline constexpr int kTooManyOpenQueries = 9496;       // "Too many open queries"
inline constexpr int kTooManyThreadsForClient = 9497;  // "Too many threads for client"
inline constexpr int kTooManyBlobs = 9498;             // "Too many blobs"
inline constexpr int kPathnameTooLong = 9499;
inline constexpr int kRowFetchLimit = 9500;  // "Row fetch limit"
// "Long name is not allowed for this tableversion"
inline constexpr int kLongNameIsNotAllowedForThisTableversion = 9501;
// "Not enough shared Memory for this operation"
inline constexpr int kNotEnoughSharedMemoryForThisOperation = 9502;
// "The database file size limit has been reached"
inline constexpr int kDatabaseFileSizeLimitHasBeenReached = 9600;
// "The database table limit has been reached"
inline constexpr int kDatabaseTableLimitHasBeenReached = 9601;
inline constexpr int kKeySizeTooLarge = 9602;         // "Key size too large"
inline constexpr int kTooManyFieldsInIndex = 9603;    // "Too many fields in index"
inline constexpr int kTooManyIndexes = 9604;          // "Too many indexes"
inline constexpr int kObjectNameIsOutOfRange = 9605;  // "The object name is out of range"
inline constexpr int kFieldLengthIsInvalid = 9606;    // "The field length is invalid"

inline constexpr int kKeyViolation = 9729;         // "Key violation"
inline constexpr int kMinValCheckFailed = 9730;    // "Min val check failed"
inline constexpr int kMaxValCheckFailed = 9731;    // "Max val check failed"
inline constexpr int kFieldValueRequired = 9732;   // "Field value required"
inline constexpr int kMasterRecordMissing = 9733;  // "Master record missing"
// "Cannot MODIFY or DELETE this Master record"
inline constexpr int kCannotModifyOrDeleteThisMasterRecord = 9734;
inline constexpr int kMasterTableLevelIsIncorrect = 9735;  // "Master Table Level is incorrect"
inline constexpr int kFieldValueOutOfLookupTblRange =
    9736;                                            // "Field value out of lookup tbl range"
inline constexpr int kLookupTableOpenFailed = 9737;  // "Lookup Table Open failed"
inline constexpr int kDetailTableOpenFailed = 9738;  // "Detail Table Open failed"
inline constexpr int kMasterTableOpenFailed = 9739;  // "Master Table Open failed"
inline constexpr int kFieldIsBlank = 9740;           // "Field is blank"
inline constexpr int kMasterTableExists = 9741;      // "Master Table exists"
inline constexpr int kMasterTableIsOpen = 9742;      // "Master Table is open"
// "Detail Tables exist ( cannot delete, rename ... )"
inline constexpr int kDetailTablesExist = 9743;
inline constexpr int kCannotEmptyBecauseDetailsExist =
    9744;  // "Cannot empty because details exist"
// "Cannot modify while adding self referencing Referential Integrity"
inline constexpr int kCannotModifyWhileAddingSelfReference = 9745;
inline constexpr int kDetailTableIsOpened = 9746;  // "Detail Table is opened"
// "Cannot make a master a detail of another table if its details are not empty."
inline constexpr int kMasterWithDetailsCannotBecomeDetail = 9747;
// "Ref. integrity fields must be indexed"
inline constexpr int kRefIntegrityFieldsMustBeIndexed = 9748;
// "Master Table is protected ( requires password to open)"
inline constexpr int kMasterTableIsProtected = 9749;
inline constexpr int kFieldHasMoreThanOneMaster = 9750;  // "Field has more than one master"
inline constexpr int kExprValCheckFailed = 9751;         // "Expr val check failed"

inline constexpr int kNumberOutOfRange = 9985;              // "Number out of range (e.g field no)"
inline constexpr int kInvalidParameter = 9986;              // "Generic invalid parameter"
inline constexpr int kInvalidFileName = 9987;               // "Invalid file name"
inline constexpr int kFileNotFound = 9988;                  // "File not found"
inline constexpr int kInvalidOptionForParameter = 9989;     // "Invalid option for a parameter"
inline constexpr int kInvalidHandleToFunction = 9990;       // "Invalid handle to the function"
inline constexpr int kTableTypeGivenNotKnown = 9991;        // "Table type given not known"
inline constexpr int kDontKnowHowToOpenFile = 9992;         // "Dont know how to open file"
inline constexpr int kCannotRedefinePrimaryKey = 9993;      // "Cannot redefine primary key"
inline constexpr int kCannotChangeThisRINTDesc = 9994;      // "Cannot change this RINTDesc"
inline constexpr int kForeignAndPrimaryKeyMismatch = 9995;  // "Foreign & Primary Key Mismatch"
inline constexpr int kInvalidModifyRequest = 9996;          // "Invalid modify request"
inline constexpr int kIndexDoesNotExist = 9997;             // "Index does not exist"
inline constexpr int kInvalidOffsetIntoBlob = 9998;         // "Invalid Offset into the Blob"
inline constexpr int kInvalidDescriptorNumber = 9999;       // "Invalid descriptor number"
inline constexpr int kInvalidFieldType = 10000;             // "Invalid field type"
inline constexpr int kInvalidFieldDescriptor = 10001;       // "Invalid field descriptor"
inline constexpr int kInvalidFieldTransform = 10002;        // "Invalid field transform"
inline constexpr int kInvalidRecordStructure = 10003;       // "Invalid record structure"
inline constexpr int kInvalidDescriptor = 10004;            // "Generic: invalid descriptor"
// "Invalid array of indexes descriptors"
inline constexpr int kInvalidArrayOfIndexesDescriptors = 10005;
// "Invalid array of  val. check descriptors"
inline constexpr int kInvalidArrayOfValCheckDescriptors = 10006;
// "Invalid array of ref. integrity descriptors"
inline constexpr int kInvalidArrayOfRefIntegrityDescriptors = 10007;
// "Invalid ordering of tables during restructure"
inline constexpr int kInvalidOrderingOfTablesDuringRestructure = 10008;
inline constexpr int kNameNotUniqueInThisContext = 10009;   // "Name not unique in this context"
inline constexpr int kIndexNameRequired = 10010;            // "Index name required"
inline constexpr int kInvalidSesHandle = 10011;             // "Invalid ses handle"
inline constexpr int kInvalidRestructureOperation = 10012;  // "Invalid restructure operation"
inline constexpr int kDriverNotKnownToSystem = 10013;       // "Driver not known to system"
inline constexpr int kUnknownDb = 10014;                    // "Unknown db"
inline constexpr int kInvalidPasswordOrUsername = 10015;    // "Invalid password/username given"
inline constexpr int kNoCallbackFunction = 10016;           // "No callback function"
inline constexpr int kInvalidCallbackBufferLength = 10017;  // "Invalid callback buffer length"
inline constexpr int kInvalidDirectory = 10018;             // "Invalid directory"
inline constexpr int kTranslateError = 10019;  // "Translate Error - Translate DID NOT happen"
// "Cannot Set Cursor of one Table to another"
inline constexpr int kCannotSetCursorOfOneTableToAnother = 10020;
// "Bookmark does not match table or the bookmarked record cannot be found"
inline constexpr int kBookmarkDoesNotMatch = 10021;
inline constexpr int kIndexTagNameIsInvalid = 10022;   // "Index/Tag Name is invalid"
inline constexpr int kInvalidIndexDescriptor = 10023;  // "Invalid index descriptor"
inline constexpr int kNoSuchTable = 10024;             // "No such table"
inline constexpr int kTableHasTooManyUsers = 10025;    // "Table has too many users"
inline constexpr int kKeyDoesNotPassFilterCondition =
    10026;                                          // "Key does not pass filter condition"
inline constexpr int kIndexAlreadyExists = 10027;   // "Index already exists"
inline constexpr int kIndexIsOpen = 10028;          // "Index is open"
inline constexpr int kInvalidBlobLength = 10029;    // "Invalid Blob Length"
inline constexpr int kInvalidBlobHandle = 10030;    // "Invalid Blob handle (in record buffer)"
inline constexpr int kTableIsOpen = 10031;          // "Table is open"
inline constexpr int kNeedToDoRestructure = 10032;  // "Need to do (hard) restructure"
inline constexpr int kInvalidMode = 10033;          // "Invalid mode"
inline constexpr int kCannotCloseIndex = 10034;     // "Cannot close index"
inline constexpr int kIndexIsBeingUsedToOrderTbl = 10035;     // "Index is being used to order tbl"
inline constexpr int kBadUserNameOrPassword = 10036;          // "Bad user name or password"
inline constexpr int kMultiLevelCascadeNotSupported = 10037;  // "Multi level Cascade not supported"
inline constexpr int kInvalidFieldName = 10038;               // "Invalid field name"
inline constexpr int kInvalidTableName = 10039;               // "Invalid table name"
inline constexpr int kInvalidLinkedCursorExpression = 10040;  // "Invalid linked cursor expression"
inline constexpr int kNameIsReserved = 10041;                 // "Name is reserved"
inline constexpr int kInvalidFileExtension = 10042;           // "Invalid file extention"
inline constexpr int kInvalidLanguageDriver = 10043;          // "Invalid language driver"
inline constexpr int kRequestedAliasIsNotOpen = 10044;        // "Requested alias in not open"
inline constexpr int kIncompatibleRecordStructures = 10045;   // "Incompatible record structures"
inline constexpr int kReservedDosName = 10046;                // "Reserved dos name"
inline constexpr int kDestinationMustBeIndexed = 10047;       // "Destination must be indexed"
inline constexpr int kInvalidIndexType = 10048;               // "Invalid index type"
// "Language driver of table and index do not match"
inline constexpr int kLanguageDriverOfTableAndIndexDoNotMatch = 10049;
inline constexpr int kFilterHandleIsInvalid = 10050;    // "Filter handle is invalid"
inline constexpr int kInvalidFilterExpression = 10051;  // "Invalid filter/filter expression"
// "Bad table create request (exact prob unknown)"
inline constexpr int kBadTableCreateRequest = 10052;
inline constexpr int kInvalidTableDeleteRequest = 10053;  // "Invalid table delete request"
// "Bad index create request (exact prob unknown)"
inline constexpr int kBadIndexCreateRequest = 10054;
// "Bad index delete request (exact prob unknown)"
inline constexpr int kBadIndexDeleteRequest = 10055;
inline constexpr int kInvalidTableNameSpecified = 10056;  // "Invalid table name specified"
inline constexpr int kMultiResults = 10057;               // "Multi results"
inline constexpr int kInvalidTimeValue = 10058;           // "Invalid time value"
inline constexpr int kInvalidDateValue = 10059;           // "Invalid date value"
inline constexpr int kInvalidTimestampValue = 10060;      // "Invalid timestamp value"
inline constexpr int kTablesInDifferentPaths = 10061;     // "Tables in different paths"
inline constexpr int kArgumentCountMismatch = 10062;      // "MisMatch in the # of arguments"
// "Loaderlib cant find a func in the DLL (bad version?)"
inline constexpr int kLoaderCannotFindFunction = 10063;
// "Must use baseorder for this operation"
inline constexpr int kMustUseBaseorderForThisOperation = 10064;
inline constexpr int kInvalidProcedureName = 10065;  // "Invalid procedure name"
inline constexpr int kInvalidFieldMap = 10066;       // "Invalid field map"
// "There is no connection to a database engine"
inline constexpr int kNoConnectionToDatabaseEngine = 10112;
// "Cannot perform this operation on an unconnected database"
inline constexpr int kCannotOperateOnUnconnectedDatabase = 10113;
// "Internal error. The filter could not be created"
inline constexpr int kFilterCouldNotBeCreated = 10115;
inline constexpr int kNoSuchField = 10116;                // "No such field"
inline constexpr int kFieldTypeCannotBeIndexed = 10117;   // "Field type cannot be indexed"
inline constexpr int kDatabaseNameIsInvalid = 10118;      // "Database name is invalid"
inline constexpr int kInvalidTableRenameRequest = 10119;  // "Invalid table rename request"
// "Cannot perform this operation on a connected database"
inline constexpr int kCannotOperateOnConnectedDatabase = 10120;
// "Cannot perform this operation without exclusive database access"
inline constexpr int kCannotOperateWithoutExclusiveAccess = 10121;
// "Cannot perform this operation while a transaction is active"
inline constexpr int kCannotOperateWhileTransactionActive = 10122;
// "The requested object cannot be edited"
inline constexpr int kRequestedObjectCannotBeEdited = 10123;
// "The requested object cannot be deleted"
inline constexpr int kRequestedObjectCannotBeDeleted = 10124;
inline constexpr int kGeneratorNameIsInvalid = 10125;  // "The generator name is invalid"

// "Alter table operation failed (exact cause unknown)"
inline constexpr int kAlterTableOperationFailed = 130;

inline constexpr int kUnlockRequestFailed = 10242;  // "The unlock request failed"
// "This operation cannot be performed without a prior lock"
inline constexpr int kCannotOperateWithoutPriorLock = 10248;
// "The requested lock could not be obtained. The request timed out"
inline constexpr int kRequestedLockNotObtained = 10249;
inline constexpr int kTransactionAlreadyActive = 10256;  // "Transaction already active"
inline constexpr int kNoActiveTransaction = 10257;       // "There are no active transactions"

// "Not sufficient field  rights for operation"
inline constexpr int kNotSufficientFieldRightsForOperation = 10497;
// "Not sufficient table  rights for operation"
inline constexpr int kNotSufficientTableRightsForOperation = 10498;
// "Not sufficient family rights for operation"
inline constexpr int kNotSufficientFamilyRightsForOperation = 10499;
inline constexpr int kIsReadOnlyDirectory = 10500;          // "Is a read-only directory"
inline constexpr int kDatabaseIsReadOnly = 10501;           // "Database is read-only"
inline constexpr int kTryingToModifyReadOnlyField = 10502;  // "Trying to modify read-only field"
inline constexpr int kTableIsEncrypted = 10503;
// "Not sufficient sql rights for operation"
inline constexpr int kNotSufficientSqlRightsForOperation = 10504;
// "You do not have the privilege/s required to perform this function"
inline constexpr int kPrivilegeRequired = 10624;

inline constexpr int kFieldIsNotBlob = 10753;               // "Field is not a blob"
inline constexpr int kBlobAlreadyOpened = 10754;            // "Blob already opened"
inline constexpr int kBlobNotOpened = 10755;                // "Blob not opened"
inline constexpr int kOperationNotApplicable = 10756;       // "Operation not applicable"
inline constexpr int kTableIsNotIndexed = 10757;            // "Table is not indexed"
inline constexpr int kEngineNotInitialized = 10758;         // "Engine not initialized"
inline constexpr int kAttemptToReInitializeEngine = 10759;  // "Attempt to re-initialize engine"
inline constexpr int kAttemptToMixObjsFromDiffSes = 10760;  // "Attempt to mix objs from diff ses"
inline constexpr int kDriverNotLoaded = 10762;              // "Driver not loaded"
inline constexpr int kTableIsReadOnly = 10763;              // "Table is read only"
inline constexpr int kNoIndexAssociatedWithCursor = 10764;  // "No index associated with the cursor"
inline constexpr int kHasOpenCursors = 10765;               // "Has open cursors"
// "The requested operation cannot be performed on this table type"
inline constexpr int kCannotOperateOnThisTableType = 10766;
inline constexpr int kIndexIsReadOnly = 10767;              // "Index is read only"
inline constexpr int kRecordsAreNotUnique = 10768;          // "Records are not unique"
inline constexpr int kNotCurrentActiveSession = 10769;      // "Not the current/active session"
inline constexpr int kInvalidUseOfKeyword = 10770;          // "Invalid use of keyword."
inline constexpr int kConnectionInUse = 10771;              // "Connection in use"
inline constexpr int kPassthruConnectionNotShared = 10772;  // "Passthru SQL connection not share"
// "The requested operation cannot be performed on an in-memory database"
inline constexpr int kCannotOperateOnInMemoryDatabase = 10880;

inline constexpr int kInvalidFunctionNumber = 11009;      // "Invalid function number"
inline constexpr int kNoSuchFileOrDirectory = 11010;      // "No such file or directory"
inline constexpr int kPathNotFound = 11011;               // "Path not found"
inline constexpr int kTooManyOpenFiles = 11012;           // "Too many open files"
inline constexpr int kPermissionDenied = 11013;           // "Permission denied"
inline constexpr int kBadFileNumber = 11014;              // "Bad file number"
inline constexpr int kMemoryBlocksDestroyed = 11015;      // "Memory blocks destroyed"
inline constexpr int kNotEnoughCore = 11016;              // "Not enough core"
inline constexpr int kInvalidMemoryBlockAddress = 11017;  // "Invalid memory block address"
inline constexpr int kInvalidEnvironment = 11018;         // "Invalid environment"
inline constexpr int kInvalidFormat = 11019;              // "Invalid format"
inline constexpr int kInvalidAccessCode = 11020;          // "Invalid access code"
inline constexpr int kInvalidData = 11021;                // "Invalid data"
inline constexpr int kNoSuchDevice = 11023;               // "No such device"
inline constexpr int kAttemptToRemoveCurdir = 11024;      // "Attempt to remove curdir"
inline constexpr int kNotSameDevice = 11025;              // "Not same device"
inline constexpr int kNoMoreFiles = 11026;                // "No more files"
inline constexpr int kInvalidArgument = 11027;            // "Invalid argument"
inline constexpr int kArgListTooLong = 11028;             // "Arg list too long"
inline constexpr int kExecFormatError = 11029;            // "Exec format error"
inline constexpr int kCrossDeviceLink = 11030;            // "Cross-device link"
inline constexpr int kMathArgument = 11041;               // "Math argument"
inline constexpr int kResultTooLarge = 11042;             // "Result too large"
inline constexpr int kFileAlreadyExists = 11043;          // "The file already exists"
inline constexpr int kIllegalErrorFromRtl = 11047;        // "Unkown | illegal error from rtl"
inline constexpr int kShareViolation = 11058;             // "Share viol, ext. err 0x20"
inline constexpr int kLockViolation = 11059;              // "Lock viol, ext. err 0x21"
inline constexpr int kInt24Called = 11060;                // "INT24 called"
inline constexpr int kDriveNotReady = 11061;              // "Drive not ready"
inline constexpr int kNotExactReadWrite = 11108;          // "Not exact read/write"
inline constexpr int kNetworkError = 11109;               // "Generic network error"
inline constexpr int kErrorFromFileServer = 11110;        // "Error from file server"
inline constexpr int kServerOutOfMemory = 11111;          // "Server out of memory"
inline constexpr int kRecordAlreadyLocked = 11112;        // "Record already locked (by you)"
inline constexpr int kRecordNotLocked = 11113;            // "Record not locked"
// "Server software not running the workstation/server"
inline constexpr int kServerSoftwareNotRunning = 11114;

inline constexpr int kNetInitFailed = 11265;           // "Net init failed"
inline constexpr int kNetUserLimitExceeded = 11266;    // "Net user limit exceeded"
inline constexpr int kWrongNetFileVersion = 11267;     // "Wrong net file version"
inline constexpr int kNotAbleToLockNetFile = 11268;    // "Not able to lock net file"
inline constexpr int kMultipleNetFilesInUse = 11270;   // "Multiple net files in use"
inline constexpr int kUnknownNetError = 11271;         // "Unknown net error"
inline constexpr int kCannotAccessSharedFile = 11272;  // "Cannot access a shared file"
inline constexpr int kShareNotLoaded = 11273;          // "Share not loaded"
inline constexpr int kNotNetwork = 11274;              // "Not an Network"
// "Lost Communication with SQL server"
inline constexpr int kLostCommunicationWithSqlServer = 11275;
inline constexpr int kSqlServerNotFound = 11277;  // "SQL Server not found"

inline constexpr int kInterfaceMismatch = 12033;   // "Interface mismatch"
inline constexpr int kIndexIsOutOfDate = 12034;    // "Index is out of date"
inline constexpr int kOlderVersion = 12035;        // "Older version (see context)"
inline constexpr int kValFileIsOutOfDate = 12036;  // "Val. file is out of date"
inline constexpr int kOldBlobFileVersion = 12037;  // "Old Blob file version"
inline constexpr int kQueryInterfaceMismatch = 12038;
inline constexpr int kServerIsIncompatibleVersion = 12039;  // "Server is incompatible version"
inline constexpr int kHigherTableLevelRequired = 12040;     // "Higher table level required"
inline constexpr int kHigherDatabaseLevelRequired = 12041;  // "Higher database level required"

inline constexpr int kFileAlreadyExistsOnCreate = 13057;  // "File already exsits"
inline constexpr int kAnotherUserModifiedBlob = 13058;    // "Another user modified Blob"
inline constexpr int kUnknownSqlError = 13059;            // "Unknown SQL error"
inline constexpr int kTableAlreadyExists = 13060;         // "Table already exsits"
inline constexpr int kUpdateOperationAborted = 13062;     // "Update operation aborted"

inline constexpr int kSqlError = 9645;  // "SQL Error"
// "Single row result set returned multiple rows"
inline constexpr int kSingleRowResultHasMultipleRows = 9650;
// "Subquery result set returned multiple columns"
inline constexpr int kSubqueryResultHasMultipleColumns = 9656;

// Codes raised that have no row: their text is row 0's "Error code unknown".
inline constexpr int kCopyTargetExists = 1;  // CopyDatabase: the target file exists

}  // namespace tav
