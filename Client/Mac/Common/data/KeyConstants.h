#pragma once
// The family's shared vocabulary: every dictionary, configuration and
// user-defaults key, each spelt once.

#include <QString>

// Required-items manifest item keys
extern const QString kInstallType;
extern const QString kName;
extern const QString kResource;
extern const QString kInstallPath;
extern const QString kImage;
extern const QString kWebsiteURL;
extern const QString kLicense;
extern const QString kInstaller;
extern const QString kDescription;
extern const QString kSignature;
extern const QString kVersion;
extern const QString kMaxMacOSXVersion;
extern const QString kMinMacOSXVersion;

// Tool folder, executable names and configuration keys
extern const QString kToolPath;
extern const QString kExecutableName;
extern const QString kMonoExecutableName;
extern const QString kMonoMacNamespace;
extern const QString kMonoCommandHandlerClassName;
extern const QString kConfigIntegrityCheck;
extern const QString kServiceStatusURL;
extern const QString kHelpURL;
extern const QString kForgotDetailsURL;
extern const QString kRegisterURL;
extern const QString kServerAddress;
extern const QString kServerPort;
extern const QString kSatchelOverlay;
extern const QString kBackupOverlay;
extern const QString kDisableOverlay;
extern const QString kDefaultBrandedLogo;
extern const QString kBackupTutorialURL;
extern const QString kSatchelTutorialURL;
extern const QString kUpdateZipURL;
extern const QString kUpdateSignatureURL;
extern const QString kUpdateVersionCheckURL;
extern const QString kWelcomeWizardType;

// User-defaults and user-record keys
extern const QString kLastUsedUserName;
extern const QString kPreviousAddUserName;
extern const QString kUserList;
extern const QString kUserUserName;
extern const QString kUserCacheName;
extern const QString kUserFirstName;
extern const QString kUserLastName;
extern const QString kUserConnectionSpeedUp;
extern const QString kUserConnectionSpeedDown;
extern const QString kUserConnectionCount;
extern const QString kUserDownloadBandwidth;
extern const QString kUserUploadBandwidth;
extern const QString kUserOnlinePref;
extern const QString kUserCachedEmailAddresses;
extern const QString kUserStoreOption;
extern const QString kUserOnlineExcludedExts;
extern const QString kUserLocalExcludedExts;
extern const QString kUserOnlineLowerLimit;
extern const QString kUserOnlineUpperLimit;
extern const QString kUserLocalLowerLimit;
extern const QString kUserLocalUpperLimit;
extern const QString kUserBrandID;
extern const QString kUserAllowSharing;
extern const QString kUserAllowBackup;
extern const QString kUserAllowQDrive;
extern const QString kUserEnableBackup;
extern const QString kUserEnableQDrive;
extern const QString kUserEncryptTransfers;
extern const QString kUserIntegrityTime;
extern const QString kUserClientIdent;
extern const QString kUserAccountType;
extern const QString kEnableLanTransfer;
extern const QString kAutoQuitiTunes;
extern const QString kBackupShowHiddenItems;
extern const QString kUserShowTeamFolders;
extern const QString kAccountId;
extern const QString kShowStatusInDetailStatus;
extern const QString kUserConnectionThrottleByteDown;
extern const QString kUserConnectionThrottleByteUp;
extern const QString kIgnoreServerExclusions;
extern const QString kUserEncryptNewFiles;
extern const QString kServer;
extern const QString kUserPassword;
extern const QString kUserEncryptionKey;
extern const QString kMachineName;
extern const QString kCacheLocation;
extern const QString kCacheOption;

// Lower-case keys
extern const QString kDesiredAccess;
extern const QString kUserName;
extern const QString kType;
extern const QString kValueName;
extern const QString kValue;
extern const QString kFilename;
extern const QString kFileAttributes;
extern const QString kCount;
extern const QString kItemCount;
extern const QString kHFindFile;
extern const QString kCRC;
extern const QString kOffset;
extern const QString kData;
extern const QString kShareMode;
extern const QString kMacFD;
extern const QString kPosition;
extern const QString kDestination;
extern const QString kIsDirectory;
extern const QString kUniqueID;
extern const QString kStatusText;
extern const QString kStatusText2;
extern const QString kPercent;
extern const QString kTitle;
extern const QString kUploadNames;
extern const QString kUploadPaths;
extern const QString kDownloadNames;
extern const QString kDownloadPaths;
extern const QString kMessage;
extern const QString kPriority;
extern const QString kFileList;
extern const QString kOptions;
extern const QString kAlwaysUseSelection;
extern const QString kURL;
extern const QString kSpeed;
extern const QString kDownload;
extern const QString kShareType;
extern const QString kAddressList;
extern const QString kStore;
extern const QString kShareList;
extern const QString kShareTypeList;
extern const QString kBackupNames;
extern const QString kBackupPaths;
extern const QString kLength;
extern const QString kHashID;
extern const QString kTotal;
extern const QString kRunIntegrity;
extern const QString kDidComplete;
extern const QString kReason;
extern const QString kDefaultValue;
extern const QString kUpdateMajor;
extern const QString kUpdateMinor;
extern const QString kUpdateBuild;
extern const QString kUpdateRevision;
extern const QString kUpdateCritical;
extern const QString kIndex;
extern const QString kSize;
extern const QString kMask;
extern const QString kHours;
extern const QString kMinutes;
extern const QString kEnabled;
extern const QString kLogin;
extern const QString kClientIdentList;
extern const QString kLabelList;
extern const QString kIPList;
extern const QString kClientIndent;
extern const QString kExcluded;
extern const QString kBackupList;
extern const QString kDirectoryList;
extern const QString kParent;
extern const QString kConflictMode;
extern const QString kPromptErrors;
extern const QString kMinimum;
extern const QString kMaximum;
extern const QString kDataID;
extern const QString kFinished;
extern const QString kCreationDate;
extern const QString kModifiedDate;
extern const QString kCreateMode;
extern const QString kSyncState;
extern const QString kQueueCount;
extern const QString kToolTipIcon;
extern const QString kComment;
extern const QString kCommentID;
extern const QString kNeedsEncrypting;
extern const QString kHelpTabID;

// File-type and proxy keys
extern const QString kFileTypePriority;
extern const QString kFileTypeExtensions;
extern const QString kFileTypeDescription;
extern const QString kProxyMode;
extern const QString kProxyAddress;
extern const QString kProxyPort;
extern const QString kProxyType;
extern const QString kProxyUsername;
extern const QString kProxyPassword;

// Backup-item keys
extern const QString kBackupName;
extern const QString kBackupDisplayName;
extern const QString kBackupPath;
extern const QString kBackupContents;
extern const QString kBackupFullContents;
extern const QString kBackupIsDirectory;
extern const QString kBackupIsIncludedInBackup;
extern const QString kBackupStatus;
extern const QString kBackupContainsBackups;
extern const QString kBackupParent;

// Words named after transfer phases and connection states
extern const QString kPreSyncStarted;
extern const QString kPreSyncFinished;
extern const QString kUploadFinished;
extern const QString kDownloadFinished;
extern const QString kBackupFinished;
extern const QString kOnline;
extern const QString kOffline;

// Status-item keys
extern const QString kStatusItemTitle;
extern const QString kStatusItemExpandable;
extern const QString kStatusItemChildren;
extern const QString kStatusItemImage;
extern const QString kStatusItemDisabled;
extern const QString kStatusItemTabIndex;
extern const QString kStatusItemHidden;

// Conflict keys
extern const QString kConflictType;
extern const QString kConflictClientFilename;
extern const QString kConflictClientFileID;
extern const QString kConflictClientFileType;
extern const QString kConflictClientSuggestedName;
extern const QString kConflictClientFilePath;
extern const QString kConflictServerFilename;
extern const QString kConflictServerFileID;
extern const QString kConflictServerFileType;
extern const QString kConflictServerSuggestedName;
extern const QString kConflictServerFilePath;
extern const QString kConflictResolution;

// Peer-client keys
extern const QString kP2PClientIdent;
extern const QString kP2PClientLabel;
extern const QString kP2PClientIP;
extern const QString kP2PClientSelect;

// Restore listing and restore statistics keys
extern const QString kRestoreChildren;
extern const QString kRestoreChildrenFull;
extern const QString kRestoreDirectory;
extern const QString kRestoreChildrenFiles;
extern const QString kRestoreChildrenFilesFull;
extern const QString kRestoreUploaded;
extern const QString kRestoreRowVersion;
extern const QString kRestoreCreated;
extern const QString kRestoreDeleted;
extern const QString kRestoreDeletedDate;
extern const QString kRestoreVersionNumber;
extern const QString kRestoreStatsRestored;
extern const QString kRestoreStatsNotRestored;
extern const QString kRestoreStatsHasErrors;
extern const QString kRestoreStatsTimeSpan;
extern const QString kRestoreStatsCancelled;
extern const QString kRestoreStatsSize;

// Backup computers
extern const QString kBackupComputers;
