-- Schema of the suite's tables that Kelvane reads and writes.
-- Loaded into a fresh database by the tests and the demo; table and column names are
-- spelled as the copy statements write them. RowID and Memo are columns the copies do
-- not name: they show that such columns take their defaults in the destination.

CREATE TABLE Agency (
  `AgyCode` VARCHAR(2) NOT NULL PRIMARY KEY,
  `AgencyName` VARCHAR(60) NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE Bank (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `AlphaCode` VARCHAR(60) NULL,
  `Address1` VARCHAR(60) NULL,
  `Address2` VARCHAR(60) NULL,
  `City` VARCHAR(60) NULL,
  `State` VARCHAR(60) NULL,
  `ZipCode` VARCHAR(60) NULL,
  `Phone` VARCHAR(60) NULL,
  `Fax` VARCHAR(60) NULL,
  `Email` VARCHAR(100) NULL,
  `NextCheck` INT NULL,
  `InactiveAcct` TINYINT(1) NULL,
  `Memo` VARCHAR(80) NOT NULL DEFAULT 'unset',
  KEY `Bank_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE ClassTypes (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `AcordForm` VARCHAR(60) NULL,
  `ClassType` VARCHAR(60) NULL,
  `RiskType` INT NULL,
  KEY `ClassTypes_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The address lines are wider than 255 bytes in utf8mb4 so that InnoDB may keep them off
-- the row: with them all inline the row could exceed the 8126-byte limit and the
-- CREATE is refused in strict mode.
CREATE TABLE Company (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `Contact` VARCHAR(60) NULL,
  `NAIC` VARCHAR(60) NULL,
  `AgentCode` VARCHAR(60) NULL,
  `AgentSubCode` VARCHAR(60) NULL,
  `DOTCode` VARCHAR(60) NULL,
  `BillMethodCd` VARCHAR(60) NULL,
  `BalMethodCd` VARCHAR(60) NULL,
  `AccAdd1` VARCHAR(100) NULL,
  `AccAdd2` VARCHAR(100) NULL,
  `AccAdd3` VARCHAR(100) NULL,
  `AccAdd4` VARCHAR(100) NULL,
  `AccCity` VARCHAR(60) NULL,
  `AccState` VARCHAR(60) NULL,
  `AccZip` VARCHAR(60) NULL,
  `AccFax` VARCHAR(60) NULL,
  `AccPhone` VARCHAR(60) NULL,
  `UndAdd1` VARCHAR(100) NULL,
  `UndAdd2` VARCHAR(100) NULL,
  `UndAdd3` VARCHAR(100) NULL,
  `UndAdd4` VARCHAR(100) NULL,
  `UndCity` VARCHAR(60) NULL,
  `UndState` VARCHAR(60) NULL,
  `UndZip` VARCHAR(60) NULL,
  `UndPhone` VARCHAR(60) NULL,
  `UndFax` VARCHAR(60) NULL,
  `AgyCommision` DECIMAL(19,4) NULL,
  `AlphaCode` VARCHAR(60) NULL,
  `WebSite` VARCHAR(100) NULL,
  `PolViewType` INT NULL,
  `PolViewName` VARCHAR(60) NULL,
  `UserID` VARCHAR(60) NULL,
  `Password` VARCHAR(60) NULL,
  `AgentWebID` VARCHAR(60) NULL,
  `NYIDCode` VARCHAR(60) NULL,
  `InactiveAcct` TINYINT(1) NULL,
  `IsMasterCmp` TINYINT(1) NULL,
  `CmpRefersTo` VARCHAR(60) NULL,
  `fHasParentCmp` TINYINT(1) NULL,
  `MyParentCmp` VARCHAR(60) NULL,
  KEY `Company_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE CmpCont (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `CmpNum` VARCHAR(60) NULL,
  `Number` VARCHAR(60) NULL,
  `Alpha` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `Address1` VARCHAR(60) NULL,
  `Address2` VARCHAR(60) NULL,
  `City` VARCHAR(60) NULL,
  `State` VARCHAR(60) NULL,
  `ZipCode` VARCHAR(60) NULL,
  `Email` VARCHAR(100) NULL,
  `Phone1` VARCHAR(60) NULL,
  `PhoneExt` VARCHAR(60) NULL,
  `Phone2` VARCHAR(60) NULL,
  `Phone3` VARCHAR(60) NULL,
  `Phone4` VARCHAR(60) NULL,
  `Title` VARCHAR(60) NULL,
  `Department` VARCHAR(60) NULL,
  `InactiveAcct` TINYINT(1) NULL,
  KEY `CmpCont_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE Department (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `Address1` VARCHAR(60) NULL,
  `Address2` VARCHAR(60) NULL,
  `City` VARCHAR(60) NULL,
  `State` VARCHAR(60) NULL,
  `Zip` VARCHAR(60) NULL,
  `Phone` VARCHAR(60) NULL,
  `PhoneExt` VARCHAR(60) NULL,
  `Fax` VARCHAR(60) NULL,
  `Email` VARCHAR(100) NULL,
  `Contact` VARCHAR(60) NULL,
  KEY `Department_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE GLCodes (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `AlphaCode` VARCHAR(60) NULL,
  `GLType` VARCHAR(60) NULL,
  `GLSubType` VARCHAR(60) NULL,
  `SubAcctType` VARCHAR(60) NULL,
  `GLInquiryOption` VARCHAR(60) NULL,
  `RepSubTotal` VARCHAR(60) NULL,
  `CmpAsVen` VARCHAR(60) NULL,
  KEY `GLCodes_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE Producer (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `Address1` VARCHAR(60) NULL,
  `Address2` VARCHAR(60) NULL,
  `Address3` VARCHAR(60) NULL,
  `Address4` VARCHAR(60) NULL,
  `City` VARCHAR(60) NULL,
  `State` VARCHAR(60) NULL,
  `Zip` VARCHAR(60) NULL,
  `Phone` VARCHAR(60) NULL,
  `Fax` VARCHAR(60) NULL,
  `Email` VARCHAR(100) NULL,
  `InactiveAcct` TINYINT(1) NULL,
  `AlphaCode` VARCHAR(60) NULL,
  `DefDpt` VARCHAR(60) NULL,
  `DefCommission` DECIMAL(19,4) NULL,
  `ServiceType` VARCHAR(60) NULL,
  `PayableType` VARCHAR(60) NULL,
  `fUseReplyTo` TINYINT(1) NULL,
  `ReplyTo` VARCHAR(100) NULL,
  `OnlyCSR` INT NULL,
  KEY `Producer_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE Trans (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `TrnType` INT NULL,
  KEY `Trans_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE Vendor (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `AlphaCode` VARCHAR(60) NULL,
  `Address1` VARCHAR(60) NULL,
  `Address2` VARCHAR(60) NULL,
  `City` VARCHAR(60) NULL,
  `State` VARCHAR(60) NULL,
  `ZipCode` VARCHAR(60) NULL,
  `Phone` VARCHAR(60) NULL,
  `Fax` VARCHAR(60) NULL,
  `Contact` VARCHAR(60) NULL,
  `Email` VARCHAR(100) NULL,
  `Ten99Name` VARCHAR(60) NULL,
  `Ten99Address` VARCHAR(60) NULL,
  `Ten99City` VARCHAR(60) NULL,
  `Ten99State` VARCHAR(60) NULL,
  `Ten99ZipCode` VARCHAR(60) NULL,
  `Ten99Amt` DECIMAL(19,4) NULL,
  `Ten99BalMethod` VARCHAR(60) NULL,
  `Ten99OrganType` VARCHAR(60) NULL,
  `FedID` VARCHAR(60) NULL,
  `SSN` VARCHAR(60) NULL,
  `InactiveAcct` TINYINT(1) NULL,
  `Website` VARCHAR(100) NULL,
  `DefaultBank` VARCHAR(60) NULL,
  `DefaultChkType` INT NULL,
  `Ten99Type` VARCHAR(60) NULL,
  `Memo` VARCHAR(80) NOT NULL DEFAULT 'unset',
  KEY `Vendor_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE AddInt2 (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `Number` VARCHAR(60) NULL,
  `AlphaCode` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `Contact` VARCHAR(60) NULL,
  `Address1` VARCHAR(60) NULL,
  `Address2` VARCHAR(60) NULL,
  `Address3` VARCHAR(60) NULL,
  `Address4` VARCHAR(60) NULL,
  `Address5` VARCHAR(60) NULL,
  `City` VARCHAR(60) NULL,
  `State` VARCHAR(60) NULL,
  `Zip` VARCHAR(60) NULL,
  `Phone` VARCHAR(60) NULL,
  `Fax` VARCHAR(60) NULL,
  `Email` VARCHAR(100) NULL,
  KEY `AddInt2_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE DLNAIC (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `NAIC` VARCHAR(60) NULL,
  `Reserved` VARCHAR(60) NULL,
  `Name` VARCHAR(60) NULL,
  `CompanyCode` VARCHAR(60) NULL,
  `VCSpare` VARCHAR(60) NULL,
  `ISpare` INT NULL,
  `PolicyCompany` VARCHAR(60) NULL,
  `Default6CVHDedMod` INT NULL,
  `Default6CVHDedType` INT NULL,
  KEY `DLNAIC_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE DLLines (
  `RowID` INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  `AgyCode` VARCHAR(2) NULL,
  `AL3Line` VARCHAR(60) NULL,
  `Reserved` VARCHAR(60) NULL,
  `ClientType` INT NULL,
  `Name` VARCHAR(60) NULL,
  `ClassCode` VARCHAR(60) NULL,
  `Department` VARCHAR(60) NULL,
  `TransNew` VARCHAR(60) NULL,
  `TransRenewal` VARCHAR(60) NULL,
  `TransEndorsement` VARCHAR(60) NULL,
  `TransSyncrhonize` VARCHAR(60) NULL,
  `TransCancellation` VARCHAR(60) NULL,
  `TransReinstatement` VARCHAR(60) NULL,
  `VCSpare1` VARCHAR(60) NULL,
  `VCSpare2` VARCHAR(60) NULL,
  `VCSpare3` VARCHAR(60) NULL,
  `VCSpare4` VARCHAR(60) NULL,
  `VCSpare5` VARCHAR(60) NULL,
  `VCSpare6` VARCHAR(60) NULL,
  `VCSpare7` VARCHAR(60) NULL,
  `VCSpare8` VARCHAR(60) NULL,
  `VCSpare9` VARCHAR(60) NULL,
  `iSpare1` INT NULL,
  `iSpare2` INT NULL,
  `iSpare3` INT NULL,
  KEY `DLLines_AgyCode` (`AgyCode`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The record file ap of the record store: key 0 and the record's bytes.
CREATE TABLE zz_data_ap (
  `Index0Col` VARBINARY(255) NOT NULL PRIMARY KEY,
  `RecData` VARBINARY(4096) NOT NULL
) ENGINE=InnoDB;

-- Kelvane's run lock: one row per agency code a run is using (see the README, "Two runs
-- never interleave"). The program creates it on first use; it is here so a fresh database
-- looks the same before and after the first run.
CREATE TABLE kelvane_run_lock (
  agency_code VARCHAR(64) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  holder_token CHAR(32) CHARACTER SET ascii NOT NULL,
  purpose VARCHAR(255) NOT NULL,
  holder_user VARCHAR(400) NOT NULL,
  holder_process VARCHAR(255) NOT NULL,
  holder_server VARCHAR(512) NOT NULL,
  connection_id BIGINT UNSIGNED NOT NULL,
  taken_at TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  heartbeat_at TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),
  PRIMARY KEY (agency_code)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
