// The twelve table copies as data. Every fixed text is sent exactly as written here, letter
// case and trailing blanks included: the statements are the product, and nothing normalises them.
#include <algorithm>
#include <stdexcept>

#include "copy/table_desc.h"
#include "db/ascii.h"

namespace copy {

namespace {

// A column read under the name it is inserted as.
ColumnDesc Col(const char* name, ValueForm form) {
  return ColumnDesc{name, name, form};
}

// A column whose insert name and lookup name are spelled differently ("address2" from
// "Address2", "Email" from "email"); the lookup ignores case, the insert text keeps it.
ColumnDesc Col(const char* insert_name, const char* source_name, ValueForm form) {
  return ColumnDesc{insert_name, source_name, form};
}

ColumnDesc DestCode() {
  return ColumnDesc{"AgyCode", "", ValueForm::kDestCode};
}

ColumnDesc Literal(const char* insert_name, const char* text) {
  return ColumnDesc{insert_name, "", ValueForm::kLiteral, text};
}

constexpr ValueForm kQuoted = ValueForm::kQuoted;
constexpr ValueForm kEscaped = ValueForm::kEscaped;
constexpr ValueForm kInteger = ValueForm::kInteger;
constexpr ValueForm kFloat = ValueForm::kFloat;
constexpr ValueForm kFlag = ValueForm::kFlag;

std::vector<TableDesc> MakeTables() {
  std::vector<TableDesc> tables;
  // clang-format off
  tables.push_back(TableDesc{
      "CopyBanks", "Bank", "Banks",
      "Delete from Bank where AgyCode = ",
      "Select * from Bank where AgyCode = ",
      "Insert into Bank (AgyCode, Number, Name, AlphaCode, Address1, address2, City, State, "
      "ZipCode, Phone, Fax, Email, NextCheck, InactiveAcct) Values (",
      {DestCode(),
       Col("Number", kEscaped),
       Col("Name", kEscaped),
       Col("AlphaCode", kEscaped),
       Col("Address1", kEscaped),
       Col("address2", "Address2", kEscaped),
       Col("City", kEscaped),
       Col("State", kEscaped),
       Col("ZipCode", kEscaped),
       Col("Phone", kEscaped),
       Col("Fax", kEscaped),
       Col("Email", kEscaped),
       Col("NextCheck", kInteger),
       // Every copied bank is marked inactive, whatever the source row holds.
       Literal("InactiveAcct", "1")},
      ")", "009", "Bank", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyClass", "ClassTypes", "Classes",
      "Delete from ClassTypes where AgyCode = ",
      "Select * from ClassTypes where AgyCode = ",
      "Insert Into ClassTypes (AgyCode, Number, Name, AcordForm, ClassType, RiskType) Values (",
      {DestCode(),
       Col("Number", kEscaped),
       Col("Name", kEscaped),
       Col("AcordForm", kEscaped),
       Col("ClassType", kEscaped),
       Col("RiskType", kInteger)},
      ")", "006", "ClassTypes", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyCompany", "Company", "Companies",
      "Delete from Company where AgyCode = ",
      "Select * from Company where AgyCode = ",
      "Insert into Company (AgyCode, Number, Name, Contact, NAIC, AgentCode, AgentSubCode, "
      "DOTCode, BillMethodCd, BalMethodCd, AccAdd1, AccAdd2, AccAdd3, AccAdd4, AccCity, "
      "AccState, AccZip, AccFax, AccPhone, UndAdd1, UndAdd2, UndAdd3, UndAdd4, UndCity, "
      "UndState, UndZip, UndPhone, UndFax, AgyCommision, AlphaCode, WebSite, PolViewType, "
      "PolViewName, UserID, Password, AgentWebID, NYIDCode, InactiveAcct, IsMasterCmp, "
      "CmpRefersTo, fHasParentCmp, MyParentCmp) Values (",
      {DestCode(),
       Col("Number", kQuoted),
       Col("Name", kEscaped),
       Col("Contact", kEscaped),
       Col("NAIC", kEscaped),
       Col("AgentCode", kEscaped),
       Col("AgentSubCode", kEscaped),
       Col("DOTCode", kEscaped),
       Col("BillMethodCd", kEscaped),
       Col("BalMethodCd", kEscaped),
       Col("AccAdd1", kEscaped),
       Col("AccAdd2", kEscaped),
       Col("AccAdd3", kEscaped),
       Col("AccAdd4", kEscaped),
       Col("AccCity", kEscaped),
       Col("AccState", kEscaped),
       Col("AccZip", kEscaped),
       Col("AccFax", kEscaped),
       Col("AccPhone", kEscaped),
       Col("UndAdd1", kEscaped),
       Col("UndAdd2", kEscaped),
       Col("UndAdd3", kEscaped),
       Col("UndAdd4", kEscaped),
       Col("UndCity", kEscaped),
       Col("UndState", kEscaped),
       Col("UndZip", kEscaped),
       Col("UndPhone", kEscaped),
       Col("UndFax", kEscaped),
       Col("AgyCommision", kFloat),
       Col("AlphaCode", kEscaped),
       Col("WebSite", kEscaped),
       Col("PolViewType", kInteger),
       Col("PolViewName", kEscaped),
       Col("UserID", kEscaped),
       Col("Password", kEscaped),
       Col("AgentWebID", kEscaped),
       Col("NYIDCode", kEscaped),
       Col("InactiveAcct", kFlag),
       Col("IsMasterCmp", kFlag),
       Col("CmpRefersTo", kEscaped),
       Col("fHasParentCmp", kFlag),
       Col("MyParentCmp", kEscaped)},
      ")", "003", "Company", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyCompanyContacts", "CmpCont", "Company Contacts",
      "Delete From CmpCont where AgyCode = ",
      "Select * from CmpCont where AgyCode = ",
      "Insert Into CmpCont (AgyCode, CmpNum, Number, Alpha, Name, Address1, Address2, City, "
      "State, ZipCode, email, Phone1, PhoneExt, Phone2, Phone3, Phone4, Title, Department, "
      "InactiveAcct) Values (",
      {DestCode(),
       Col("CmpNum", kQuoted),
       Col("Number", kEscaped),
       Col("Alpha", kEscaped),
       Col("Name", kEscaped),
       Col("Address1", kEscaped),
       Col("Address2", kEscaped),
       Col("City", kEscaped),
       Col("State", kEscaped),
       Col("ZipCode", kEscaped),
       Col("email", kEscaped),
       Col("Phone1", kEscaped),
       Col("PhoneExt", kEscaped),
       Col("Phone2", kEscaped),
       Col("Phone3", kEscaped),
       Col("Phone4", kEscaped),
       Col("Title", kEscaped),
       Col("Department", kEscaped),
       Col("InactiveAcct", kFlag)},
      ")", "", "CmpCont", "AgyCode", {"CmpNum", "Number"}});

  tables.push_back(TableDesc{
      "CopyDepartment", "Department", "Departments",
      "Delete from Department where AgyCode = ",
      "Select * from Department where AgyCode = ",
      "Insert Into Department (AgyCode, Number, Name, Address1, Address2, City, State, Zip, "
      "Phone, PhoneExt, Fax, Email, Contact) Values (",
      {DestCode(),
       Col("Number", kQuoted),
       Col("Name", kEscaped),
       Col("Address1", kEscaped),
       Col("Address2", kEscaped),
       Col("City", kEscaped),
       Col("State", kEscaped),
       Col("Zip", kEscaped),
       Col("Phone", kEscaped),
       Col("PhoneExt", kEscaped),
       Col("Fax", kEscaped),
       Col("Email", "email", kEscaped),
       Col("Contact", kEscaped)},
      ")", "005", "Department", "AgyCode", {"Number"}});

  // The insert names GLCodes like the clear and the select: the server tells table-name
  // case apart on Linux, where "GlCodes" would name a table that does not exist.
  tables.push_back(TableDesc{
      "CopyGL", "GLCodes", "GL Codes",
      "Delete from GLCodes where AgyCode = ",
      "Select * from GLCodes where AgyCode = ",
      "Insert Into GLCodes (AgyCode, Number, Name, AlphaCode, GLType, GLSubType, SubAcctType, "
      "GLInquiryOption, RepSubTotal, CmpAsVen) Values (",
      {DestCode(),
       Col("Number", kEscaped),
       Col("Name", kEscaped),
       Col("AlphaCode", kEscaped),
       Col("GLType", kEscaped),
       Col("GLSubType", kEscaped),
       Col("SubAcctType", kEscaped),
       Col("GLInquiryOption", kEscaped),
       Col("RepSubTotal", kEscaped),
       Col("CmpAsVen", kEscaped)},
      ")", "008", "GLCodes", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyProducer", "Producer", "Producers",
      "Delete from Producer where AgyCode = ",
      "Select * from Producer where AgyCode = ",
      "Insert Into Producer (AgyCode, Number, Name, Address1, Address2, Address3, Address4, "
      "City, State, Zip, Phone, Fax, Email, InactiveAcct, AlphaCode, DefDpt, DefCommission, "
      "ServiceType, PayableType, fUseReplyTo, ReplyTo, OnlyCSR) Values (",
      {DestCode(),
       Col("Number", kQuoted),
       Col("Name", kEscaped),
       Col("Address1", kEscaped),
       Col("Address2", kEscaped),
       Col("Address3", kEscaped),
       Col("Address4", kEscaped),
       Col("City", kEscaped),
       Col("State", kEscaped),
       Col("Zip", kEscaped),
       Col("Phone", kEscaped),
       Col("Fax", kEscaped),
       Col("Email", "email", kEscaped),
       Col("InactiveAcct", kFlag),
       Col("AlphaCode", kEscaped),
       Col("DefDpt", kEscaped),
       Col("DefCommission", kFloat),
       Col("ServiceType", kEscaped),
       Col("PayableType", kEscaped),
       Col("fUseReplyTo", kFlag),
       Col("ReplyTo", kEscaped),
       Col("OnlyCSR", kInteger)},
      ")", "002", "Producer", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyTransaction", "Trans", "Transaction Codes",
      "Delete from Trans where AgyCode = ",
      "Select * from Trans where AgyCode = ",
      "Insert Into Trans (AgyCode, Number, Name, TrnType) Values (",
      {DestCode(),
       Col("Number", kQuoted),
       Col("Name", kEscaped),
       Col("TrnType", kInteger)},
      ")", "007", "Trans", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyVendor", "Vendor", "Vendors",
      "Delete from Vendor where AgyCode = ",
      "Select * From Vendor where AgyCode = ",
      "Insert Into Vendor (AgyCode, Number, Name, AlphaCode, Address1, Address2, City, State, "
      "ZipCode, Phone, Fax, Contact, Email, Ten99Name, Ten99Address, Ten99City, Ten99State, "
      "Ten99ZipCode, Ten99Amt, Ten99BalMethod, Ten99OrganType, FedID, SSN, InactiveAcct, "
      "Website, DefaultBank, DefaultChkType, Ten99Type) Values (",
      {DestCode(),
       Col("Number", kQuoted),
       Col("Name", kEscaped),
       Col("AlphaCode", kEscaped),
       Col("Address1", kEscaped),
       Col("Address2", kEscaped),
       Col("City", kEscaped),
       Col("State", kEscaped),
       Col("ZipCode", kEscaped),
       Col("Phone", kEscaped),
       Col("Fax", kEscaped),
       Col("Contact", kEscaped),
       Col("Email", "email", kEscaped),
       Col("Ten99Name", kEscaped),
       Col("Ten99Address", kEscaped),
       Col("Ten99City", kEscaped),
       Col("Ten99State", kEscaped),
       Col("Ten99ZipCode", kEscaped),
       Col("Ten99Amt", kFloat),
       Col("Ten99BalMethod", kQuoted),
       Col("Ten99OrganType", kQuoted),
       Col("FedID", kQuoted),
       Col("SSN", kQuoted),
       Col("InactiveAcct", kFlag),
       Col("Website", kEscaped),
       Col("DefaultBank", kQuoted),
       Col("DefaultChkType", kInteger),
       Col("Ten99Type", kQuoted)},
      ")", "", "Vendor", "AgyCode", {"Number"}});

  // The only insert that ends in a blank after its parenthesis.
  tables.push_back(TableDesc{
      "CopyAdditionalInterests", "AddInt2", "Additional Interests",
      "Delete From AddInt2 where AgyCode = ",
      "Select * from AddInt2 where AgyCode = ",
      "Insert Into AddInt2 (AgyCode, Number, AlphaCode, Name, Contact, Address1, Address2, "
      "Address3, Address4, Address5, City, State, Zip, Phone, Fax, Email) Values (",
      {DestCode(),
       Col("Number", kEscaped),
       Col("AlphaCode", kEscaped),
       Col("Name", kEscaped),
       Col("Contact", kEscaped),
       Col("Address1", kEscaped),
       Col("Address2", kEscaped),
       Col("Address3", kEscaped),
       Col("Address4", kEscaped),
       Col("Address5", kEscaped),
       Col("City", kEscaped),
       Col("State", kEscaped),
       Col("Zip", kEscaped),
       Col("Phone", kEscaped),
       Col("Fax", kEscaped),
       Col("Email", "email", kEscaped)},
      ") ", "", "AddInt2", "AgyCode", {"Number"}});

  tables.push_back(TableDesc{
      "CopyDLNAIC", "DLNAIC", "Download NAIC",
      "Delete From DLNAIC where AgyCode = ",
      "Select * from DLNAIC where AgyCode = ",
      "Insert Into DLNAIC (AgyCode, NAIC, Reserved, Name, CompanyCode, VCSpare, ISpare, "
      "PolicyCompany, Default6CVHDedMod, Default6CVHDedType) Values (",
      {DestCode(),
       Col("NAIC", kEscaped),
       Col("Reserved", kEscaped),
       Col("Name", kEscaped),
       Col("CompanyCode", kEscaped),
       Col("VCSpare", kEscaped),
       Col("ISpare", kInteger),
       Col("PolicyCompany", kEscaped),
       Col("Default6CVHDedMod", kInteger),
       Col("Default6CVHDedType", kInteger)},
      ")", "", "DLNAIC", "AgyCode", {"NAIC"}});

  // "values (" in lower case, as this table's insert has always been sent.
  tables.push_back(TableDesc{
      "CopyDLLines", "DLLines", "Download Lines",
      "Delete From DLLines where AgyCode = ",
      "Select * from DLLines where AgyCode = ",
      "Insert Into DLLines (AgyCode, AL3Line, Reserved, ClientType, Name, ClassCode, "
      "Department, TransNew, TransRenewal, TransEndorsement, TransSyncrhonize, "
      "TransCancellation, TransReinstatement, VCSpare1, VCSpare2, VCSpare3, VCSpare4, "
      "VCSpare5, VCSpare6, VCSpare7, VCSpare8, VCSpare9, iSpare1, iSpare2, iSpare3) values (",
      {DestCode(),
       Col("AL3Line", kEscaped),
       Col("Reserved", kEscaped),
       Col("ClientType", kInteger),
       Col("Name", kEscaped),
       Col("ClassCode", kEscaped),
       Col("Department", kEscaped),
       Col("TransNew", kEscaped),
       Col("TransRenewal", kEscaped),
       Col("TransEndorsement", kEscaped),
       Col("TransSyncrhonize", kEscaped),
       Col("TransCancellation", kEscaped),
       Col("TransReinstatement", kEscaped),
       Col("VCSpare1", kEscaped),
       Col("VCSpare2", kEscaped),
       Col("VCSpare3", kEscaped),
       Col("VCSpare4", kEscaped),
       Col("VCSpare5", kEscaped),
       Col("VCSpare6", kEscaped),
       Col("VCSpare7", kEscaped),
       Col("VCSpare8", kEscaped),
       Col("VCSpare9", kEscaped),
       Col("iSpare1", kInteger),
       Col("iSpare2", kInteger),
       Col("iSpare3", kInteger)},
      ")", "", "DLLines", "AgyCode", {"AL3Line"}});
  // clang-format on
  return tables;
}

}  // namespace

const std::vector<TableDesc>& AllTables() {
  static const std::vector<TableDesc> tables = MakeTables();
  return tables;
}

const TableDesc* FindTable(std::string_view name) {
  for (const TableDesc& table : AllTables()) {
    if (db::EqualsIgnoringCase(table.table, name)) {
      return &table;
    }
  }
  return nullptr;
}

std::string TableNames() {
  std::string names;
  for (const TableDesc& table : AllTables()) {
    names += (names.empty() ? "" : ", ") + table.table;
  }
  return names;
}

std::vector<TableDesc> ChooseTables(const std::vector<std::string>& names) {
  std::vector<bool> chosen(AllTables().size(), names.empty());
  for (const std::string& name : names) {
    const TableDesc* table = FindTable(name);
    if (table == nullptr) {
      throw std::invalid_argument("unknown table \"" + name + "\"; the tables are " + TableNames());
    }
    chosen[static_cast<std::size_t>(table - AllTables().data())] = true;
  }
  std::vector<TableDesc> tables;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    if (chosen[i]) {
      tables.push_back(AllTables()[i]);
    }
  }
  return tables;
}

std::vector<std::string> ParseTableList(const std::string& list, bool only) {
  std::vector<std::string> named;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    std::string name = list.substr(start, comma - start);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    if (name.empty()) {
      throw std::invalid_argument("a table name is missing; the tables are " + TableNames());
    }
    named.push_back(std::move(name));
    start = comma + 1;
  }
  const std::vector<TableDesc> listed = ChooseTables(named);
  std::vector<std::string> tables;
  for (const TableDesc& table : AllTables()) {
    const bool in_list = std::any_of(listed.begin(), listed.end(), [&table](const TableDesc& t) {
      return t.table == table.table;
    });
    if (in_list == only) {
      tables.push_back(table.table);
    }
  }
  if (tables.empty()) {
    throw std::invalid_argument("the choice leaves no table to copy");
  }
  return tables;
}

const TableDesc& TableByMethod(const std::string& method) {
  for (const TableDesc& table : AllTables()) {
    if (table.method == method) {
      return table;
    }
  }
  throw std::out_of_range("no table copy named " + method);
}

}  // namespace copy
