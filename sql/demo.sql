-- Demo data for Kelvane: three agencies, the profile sets of agencies 01 and 02 in all
-- twelve tables, and their ap records. Load after schema.sql into an empty database.
-- Names hold apostrophes and accents, some columns are NULL, amounts have decimals.
-- Each statement ends with ";" at the end of a line, and no other line does.

INSERT INTO Agency (AgyCode, AgencyName) VALUES
  ('01', 'O''Brien & Søn Insurance'),
  ('02', 'Größer Agentur für Versicherungen'),
  ('03', 'Café Assurance (new branch)');

INSERT INTO Bank (AgyCode, Number, Name, AlphaCode, Address1, Address2, City, State, ZipCode,
  Phone, Fax, Email, NextCheck, InactiveAcct) VALUES
  ('01', 'B1', 'First O''Neil Bank', 'FONB', '1 Main St', NULL, 'Springfield', 'IL', '62701',
   '217-555-0101', NULL, 'ops@oneil.example', 1001, 0),
  ('01', 'B2', 'Crédit Agricole US', 'CAUS', '77 Rue Street', 'Suite 5', 'New Orleans', 'LA',
   '70112', '504-555-0102', '504-555-0103', NULL, 5000, 0),
  ('01', 'B3', 'Old Closed Bank', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 1),
  ('02', 'B1', 'Zweite Bank', 'ZWB', 'Hauptstraße 2', NULL, 'München', NULL, '80331',
   NULL, NULL, 'info@zweite.example', 12, 0);

INSERT INTO ClassTypes (AgyCode, Number, Name, AcordForm, ClassType, RiskType) VALUES
  ('01', 'AUTO', 'Private Passenger Auto', '80', 'P', 1),
  ('01', 'HOME', 'Homeowner''s', '80', 'P', 2),
  ('01', 'BOP', 'Businessowners', NULL, 'C', NULL),
  ('02', 'AUTO', 'Kraftfahrzeug', '80', 'P', 1);

INSERT INTO Company (AgyCode, Number, Name, Contact, NAIC, AgentCode, AgentSubCode, DOTCode,
  BillMethodCd, BalMethodCd, AccAdd1, AccAdd2, AccAdd3, AccAdd4, AccCity, AccState, AccZip,
  AccFax, AccPhone, UndAdd1, UndAdd2, UndAdd3, UndAdd4, UndCity, UndState, UndZip, UndPhone,
  UndFax, AgyCommision, AlphaCode, WebSite, PolViewType, PolViewName, UserID, Password,
  AgentWebID, NYIDCode, InactiveAcct, IsMasterCmp, CmpRefersTo, fHasParentCmp, MyParentCmp)
  VALUES
  ('01', 'C1', 'Hartford O''Reilly Mutual', 'Seán Ó Murchú', '12345', 'A1', NULL, NULL, 'D',
   'B', 'PO Box 1', NULL, NULL, NULL, 'Hartford', 'CT', '06101', NULL, '860-555-0111',
   'PO Box 2', NULL, NULL, NULL, 'Hartford', 'CT', '06102', '860-555-0112', NULL, 12.5000,
   'HORM', 'https://horm.example', 1, 'Web', 'agent01', 'pa''ss', 'W01', NULL, 0, 1, NULL, 0,
   NULL),
  ('01', 'C2', 'Zürich Réassurance', NULL, '67890', 'A2', 'S2', NULL, 'A', 'O', NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, 15.0000, 'ZURE', NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 0, 'C1', 1, 'C1'),
  ('01', 'C3', 'Tiny Fraction Co', 'Al', '11111', NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, 0.0001, 'TINY', NULL, 0, NULL, NULL, NULL, NULL, NULL, 1, 0, NULL, 0, NULL),
  ('02', 'C1', 'Allgemeine Versicherung', 'Jürgen', '22222', 'B1', NULL, NULL, 'D', 'B', NULL,
   NULL, NULL, NULL, 'Köln', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, 10.2500, 'ALLG', NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 1, NULL, 0, NULL);

INSERT INTO CmpCont (AgyCode, CmpNum, Number, Alpha, Name, Address1, Address2, City, State,
  ZipCode, Email, Phone1, PhoneExt, Phone2, Phone3, Phone4, Title, Department, InactiveAcct)
  VALUES
  ('01', 'C1', '1', 'DOYL', 'Mary D''Arcy', '1 Elm St', NULL, 'Hartford', 'CT', '06101',
   'mary@horm.example', '860-555-0120', '12', NULL, NULL, NULL, 'Underwriter', 'Personal', 0),
  ('01', 'C2', '1', 'MULL', 'Renée Müller', NULL, NULL, 'Zürich', NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL),
  ('02', 'C1', '1', 'SCHM', 'Klaus Schmidt', NULL, NULL, 'Köln', NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, 'Leiter', NULL, 0);

INSERT INTO Department (AgyCode, Number, Name, Address1, Address2, City, State, Zip, Phone,
  PhoneExt, Fax, Email, Contact) VALUES
  ('01', 'PL', 'Personal Lines', '1 Main St', NULL, 'Springfield', 'IL', '62701',
   '217-555-0130', '1', NULL, 'pl@obrien.example', 'Pat O''Hara'),
  ('01', 'CL', 'Commercial Lines', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
  ('02', 'PL', 'Privatkunden', 'Hauptstraße 2', NULL, 'München', NULL, '80331', NULL, NULL,
   NULL, NULL, 'Jörg');

INSERT INTO GLCodes (AgyCode, Number, Name, AlphaCode, GLType, GLSubType, SubAcctType,
  GLInquiryOption, RepSubTotal, CmpAsVen) VALUES
  ('01', '1000', 'Operating Cash', 'CASH', 'A', '1', NULL, 'Y', 'N', 'N'),
  ('01', '4000', 'Commission Income – Agents''', 'COMM', 'I', '2', 'S', NULL, 'Y', NULL),
  ('02', '1000', 'Kasse', 'KASS', 'A', '1', NULL, NULL, NULL, NULL);

INSERT INTO Producer (AgyCode, Number, Name, Address1, Address2, Address3, Address4, City,
  State, Zip, Phone, Fax, Email, InactiveAcct, AlphaCode, DefDpt, DefCommission, ServiceType,
  PayableType, fUseReplyTo, ReplyTo, OnlyCSR) VALUES
  ('01', 'P1', 'Liam O''Connor', '5 Oak Ave', NULL, NULL, NULL, 'Springfield', 'IL', '62702',
   '217-555-0140', NULL, 'liam@obrien.example', 0, 'OCON', 'PL', 7.5000, 'F', 'C', 1,
   'replies@obrien.example', 0),
  ('01', 'P2', 'Zoë Brontë', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   'BRON', 'CL', NULL, NULL, NULL, NULL, NULL, 1),
  ('02', 'P1', 'Hans Groß', NULL, NULL, NULL, NULL, 'München', NULL, NULL, NULL, NULL, NULL, 0,
   'GROS', 'PL', 5.2500, NULL, NULL, 0, NULL, 0);

INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES
  ('01', 'NB', 'New Business', 1),
  ('01', 'RN', 'Renewal', 2),
  ('01', 'EN', 'Endorsement – Insured''s Request', NULL),
  ('02', 'NB', 'Neugeschäft', 1);

INSERT INTO Vendor (AgyCode, Number, Name, AlphaCode, Address1, Address2, City, State,
  ZipCode, Phone, Fax, Contact, Email, Ten99Name, Ten99Address, Ten99City, Ten99State,
  Ten99ZipCode, Ten99Amt, Ten99BalMethod, Ten99OrganType, FedID, SSN, InactiveAcct, Website,
  DefaultBank, DefaultChkType, Ten99Type) VALUES
  ('01', 'V1', 'O''Malley Office Supply', 'OMAL', '9 Pine Rd', NULL, 'Springfield', 'IL',
   '62703', '217-555-0150', NULL, 'Sinéad', 'sales@omalley.example', 'O''Malley LLC',
   '9 Pine Rd', 'Springfield', 'IL', '62703', 1234.5600, 'A', 'LLC', '12-3456789', NULL, 0,
   'https://omalley.example', 'B1', 1, 'MISC'),
  ('01', 'V2', 'Empty Vendor', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
  ('02', 'V1', 'Bürobedarf Weiß', 'WEIS', NULL, NULL, 'Köln', NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, -3.2500, NULL, NULL, NULL, NULL, 0, NULL, NULL, 0,
   NULL);

INSERT INTO AddInt2 (AgyCode, Number, AlphaCode, Name, Contact, Address1, Address2, Address3,
  Address4, Address5, City, State, Zip, Phone, Fax, Email) VALUES
  ('01', 'AI1', 'FNMA', 'Fannie''s Mortgage Co', 'Loss Payee Dept', 'PO Box 9', NULL, NULL,
   NULL, NULL, 'Dallas', 'TX', '75201', '214-555-0160', NULL, 'lp@fannie.example'),
  ('01', 'AI2', 'LIEN', 'Lienholder Crédit', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL),
  ('02', 'AI1', 'BANK', 'Sparkasse Süd', NULL, NULL, NULL, NULL, NULL, NULL, 'Stuttgart', NULL,
   NULL, NULL, NULL, NULL);

INSERT INTO DLNAIC (AgyCode, NAIC, Reserved, Name, CompanyCode, VCSpare, ISpare,
  PolicyCompany, Default6CVHDedMod, Default6CVHDedType) VALUES
  ('01', '12345', NULL, 'Hartford O''Reilly Mutual', 'C1', NULL, 0, 'C1', 1, 2),
  ('01', '67890', '', 'Zürich Réassurance', 'C2', NULL, NULL, NULL, NULL, NULL),
  ('02', '22222', NULL, 'Allgemeine', 'C1', NULL, 0, 'C1', 0, 0);

INSERT INTO DLLines (AgyCode, AL3Line, Reserved, ClientType, Name, ClassCode, Department,
  TransNew, TransRenewal, TransEndorsement, TransSyncrhonize, TransCancellation,
  TransReinstatement, VCSpare1, VCSpare2, VCSpare3, VCSpare4, VCSpare5, VCSpare6, VCSpare7,
  VCSpare8, VCSpare9, iSpare1, iSpare2, iSpare3) VALUES
  ('01', 'AUTOP', NULL, 1, 'Personal Auto', 'AUTO', 'PL', 'NB', 'RN', 'EN', NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 0, 0),
  ('01', 'HOME', NULL, 1, 'Homeowner''s', 'HOME', 'PL', 'NB', 'RN', NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),
  ('02', 'AUTOP', NULL, 1, 'Kfz', 'AUTO', 'PL', 'NB', NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 0, 0);

-- ap records: type(3) "000" agency(2) Num(6) Seq(2) FileNum2(3) Alp(6) Name(25) ApType(1),
-- blank-padded to 150 bytes; key 0 is the first 16 bytes. Plain ASCII, so characters and
-- bytes count alike.
CREATE TEMPORARY TABLE demo_ap (
  FileNum CHAR(3), AgyNum CHAR(2), Num VARCHAR(6), Seq CHAR(2), FileNum2 CHAR(3),
  Alp VARCHAR(6), Name VARCHAR(25), ApType CHAR(1)) CHARACTER SET ascii;

INSERT INTO demo_ap VALUES
  ('009', '01', 'B1', '01', '009', 'FONB', 'First O''Neil Bank', 'B'),
  ('009', '01', 'B2', '01', '009', 'CAUS', 'Credit Agricole US', 'B'),
  ('009', '01', 'B3', '01', '009', '', 'Old Closed Bank', 'B'),
  ('009', '02', 'B1', '01', '009', 'ZWB', 'Zweite Bank', 'B'),
  ('006', '01', 'AUTO', '01', '006', 'AUTO', 'Private Passenger Auto', 'C'),
  ('006', '01', 'HOME', '01', '006', 'HOME', 'Homeowner''s', 'C'),
  ('006', '02', 'AUTO', '01', '006', 'AUTO', 'Kraftfahrzeug', 'C'),
  ('003', '01', 'C1', '01', '003', 'HORM', 'Hartford O''Reilly Mutual', 'I'),
  ('003', '01', 'C2', '01', '003', 'ZURE', 'Zurich Reassurance', 'I'),
  ('003', '02', 'C1', '01', '003', 'ALLG', 'Allgemeine Versicherung', 'I'),
  ('005', '01', 'PL', '01', '005', 'PL', 'Personal Lines', 'D'),
  ('005', '01', 'CL', '01', '005', 'CL', 'Commercial Lines', 'D'),
  ('005', '02', 'PL', '01', '005', 'PL', 'Privatkunden', 'D'),
  ('008', '01', '1000', '01', '008', 'CASH', 'Operating Cash', 'G'),
  ('008', '01', '4000', '01', '008', 'COMM', 'Commission Income', 'G'),
  ('008', '02', '1000', '01', '008', 'KASS', 'Kasse', 'G'),
  ('002', '01', 'P1', '01', '002', 'OCON', 'Liam O''Connor', 'P'),
  ('002', '01', 'P2', '01', '002', 'BRON', 'Zoe Bronte', 'P'),
  ('002', '02', 'P1', '01', '002', 'GROS', 'Hans Gross', 'P'),
  ('007', '01', 'NB', '01', '007', 'NB', 'New Business', 'T'),
  ('007', '01', 'RN', '01', '007', 'RN', 'Renewal', 'T'),
  ('007', '02', 'NB', '01', '007', 'NB', 'Neugeschaeft', 'T');

INSERT INTO zz_data_ap (Index0Col, RecData)
  SELECT LEFT(rec, 16), rec FROM (
    SELECT CAST(RPAD(CONCAT(FileNum, '000', AgyNum, RPAD(Num, 6, ' '), Seq, FileNum2,
                            RPAD(Alp, 6, ' '), RPAD(Name, 25, ' '), ApType), 150, ' ')
                AS BINARY) AS rec
    FROM demo_ap) AS records;

DROP TEMPORARY TABLE demo_ap;
