#include "scripthost/standard_natives.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "gsruntime/gs_machine.h"
#include "scripthost/constructors_base.h"
#include "scripthost/gso_asset.h"
#include "scripthost/gso_html_buffer.h"
#include "scripthost/gso_image.h"
#include "scripthost/gso_kuid.h"
#include "scripthost/gso_kuid_list.h"
#include "scripthost/gso_library.h"
#include "scripthost/gso_soup.h"
#include "scripthost/gso_string_table.h"
#include "scripthost/kestro_script_context.h"
#include "scripthost/linked_list.h"
#include "scripthost/online_script_hooks.h"
#include "scripthost/security_token.h"

namespace ScriptHost {

namespace {

using GSRuntime::BindContext;
using GSRuntime::BindMember;
using GSRuntime::BindPlain;
using GSRuntime::NativeEntry;

constexpr NativeEntry kKUIDNatives[] = {
    {"$string@KUID::GetName()", BindMember<GSOKUID, &GSOKUID::GetName>},
    {"$string@KUID::GetHTMLString()", BindMember<GSOKUID, &GSOKUID::GetHTMLString>},
    {"$string@KUID::GetLogString()", BindMember<GSOKUID, &GSOKUID::GetLogString>},
    {"$string@KUID::GetBaseString()", BindMember<GSOKUID, &GSOKUID::GetBaseString>},
    {"$KUID@KUID::GetBaseKUID()", BindMember<GSOKUID, &GSOKUID::GetBaseKUID>},
};

constexpr NativeEntry kSoupNatives[] = {
    {"$int@Soup::CountTags()", BindMember<GSOSoup, &GSOSoup::CountTags>},
    {"$string@Soup::GetNamedTag(string)", BindMember<GSOSoup, &GSOSoup::GetNamedTag>},
    {"$Soup@Soup::GetNamedSoup(string)", BindMember<GSOSoup, &GSOSoup::GetNamedSoup>},
    {"$Soup@Soup::GetNamedSoupAdd(string)", BindMember<GSOSoup, &GSOSoup::GetNamedSoupAdd>},
    {"$string@Soup::GetIndexedTagName(int)", BindMember<GSOSoup, &GSOSoup::GetIndexedTagName>},
    {"$int@Soup::GetIndexForNamedTag(string)", BindMember<GSOSoup, &GSOSoup::GetIndexForNamedTag>},
    {"$KUID@Soup::GetNamedTagAsKUID(string)", BindMember<GSOSoup, &GSOSoup::GetNamedTagAsKUID>},
    {"$int@Soup::GetNamedTagAsInt(string)", BindMember<GSOSoup, &GSOSoup::GetNamedTagAsInt>},
    {"$int@Soup::GetNamedTagAsInt(string,int)", BindMember<GSOSoup, &GSOSoup::GetNamedTagAsIntOr>},
    {"$float@Soup::GetNamedTagAsFloat(string)", BindMember<GSOSoup, &GSOSoup::GetNamedTagAsFloat>},
    {"$float@Soup::GetNamedTagAsFloat(string,float)",
     BindMember<GSOSoup, &GSOSoup::GetNamedTagAsFloatOr>},
    {"$void@Soup::SetNamedTag(string,string)", BindMember<GSOSoup, &GSOSoup::SetNamedText>},
    {"$void@Soup::SetNamedTag(string,float)", BindMember<GSOSoup, &GSOSoup::SetNamedFloat>},
    {"$void@Soup::SetNamedTag(string,int)", BindMember<GSOSoup, &GSOSoup::SetNamedInt>},
    {"$void@Soup::SetNamedTag(string,KUID)", BindMember<GSOSoup, &GSOSoup::SetNamedKUID>},
    {"$void@Soup::SetNamedSoup(string,Soup)", BindMember<GSOSoup, &GSOSoup::SetNamedSoup>},
    {"$void@Soup::RemoveNamedTag(string)", BindMember<GSOSoup, &GSOSoup::RemoveNamedTag>},
    {"$void@Soup::Copy(Soup)", BindMember<GSOSoup, &GSOSoup::Copy>},
    {"$void@Soup::Clear()", BindMember<GSOSoup, &GSOSoup::Clear>},
    {"$bool@Soup::IsLocked()", BindMember<GSOSoup, &GSOSoup::IsLocked>},
    {"$Soup@Soup::GetLockedReference()", BindMember<GSOSoup, &GSOSoup::GetLockedReference>},
    {"$void@Soup::AddUniqueNamedSoup(Soup)", BindMember<GSOSoup, &GSOSoup::AddUniqueNamedSoup>},
    {"$void@Soup::Log()", BindMember<GSOSoup, &GSOSoup::Log>},
    {"$string@Soup::AsString()", BindMember<GSOSoup, &GSOSoup::AsString>},
};

constexpr NativeEntry kHTMLBufferNatives[] = {
    {"$void@HTMLBuffer::Clear()", BindMember<GSOHTMLBuffer, &GSOHTMLBuffer::Clear>},
    {"$bool@HTMLBuffer::IsEmpty()", BindMember<GSOHTMLBuffer, &GSOHTMLBuffer::IsEmpty>},
    {"$string@HTMLBuffer::AsString()", BindMember<GSOHTMLBuffer, &GSOHTMLBuffer::AsString>},
    {"$void@HTMLBuffer::Print(string)", BindMember<GSOHTMLBuffer, &GSOHTMLBuffer::Print>},
    {"$void@HTMLBuffer::Escape(string)", BindMember<GSOHTMLBuffer, &GSOHTMLBuffer::Escape>},
    {"$HTMLBuffer@HTMLBufferStatic::Construct()", BindPlain<GSOHTMLBuffer::Construct>},
};

constexpr NativeEntry kKUIDListNatives[] = {
    {"$int@KUIDList::CountKUIDs()", BindMember<GSOKUIDList, &GSOKUIDList::CountKUIDs>},
    {"$void@KUIDList::AddKUID(KUID)", BindMember<GSOKUIDList, &GSOKUIDList::AddKUID>},
    {"$void@KUIDList::RemoveKUID(KUID)", BindMember<GSOKUIDList, &GSOKUIDList::RemoveKUID>},
    {"$bool@KUIDList::HasKUID(KUID)", BindMember<GSOKUIDList, &GSOKUIDList::HasKUID>},
    {"$KUID@KUIDList::GetIndexedKUID(int)", BindMember<GSOKUIDList, &GSOKUIDList::GetIndexedKUID>},
    {"$void@KUIDList::Copy(KUIDList)", BindMember<GSOKUIDList, &GSOKUIDList::Copy>},
    {"$void@KUIDList::Clear()", BindMember<GSOKUIDList, &GSOKUIDList::Clear>},
    {"$bool@KUIDList::IsLocked()", BindMember<GSOKUIDList, &GSOKUIDList::IsLocked>},
};

constexpr NativeEntry kStringTableNatives[] = {
    {"$string@StringTable::GetLanguage()",
     BindMember<GSOStringTable, &GSOStringTable::GetLanguage>},
    {"$void@StringTable::ClearParams()", BindMember<GSOStringTable, &GSOStringTable::ClearParams>},
    {"$void@StringTable::SetParam(int,string)",
     BindMember<GSOStringTable, &GSOStringTable::SetParam>},
    {"$string@StringTable::GetString(string)",
     BindMember<GSOStringTable, &GSOStringTable::GetString>},
};

constexpr NativeEntry kAssetNatives[] = {
    {"$KUID@Asset::GetKUID()", BindMember<GSOAsset, &GSOAsset::GetKUID>},
    {"$string@Asset::GetLocalisedName()", BindMember<GSOAsset, &GSOAsset::GetLocalisedName>},
    {"$string@Asset::GetLocalisedDescription()",
     BindMember<GSOAsset, &GSOAsset::GetLocalisedDescription>},
    {"$string@Asset::GetCreatorName()", BindMember<GSOAsset, &GSOAsset::GetCreatorName>},
    {"$KUID@Asset::LookupKUIDTable(string)", BindMember<GSOAsset, &GSOAsset::LookupKUIDTable>},
    {"$Asset@Asset::FindAsset(string)", BindMember<GSOAsset, &GSOAsset::FindAsset>},
    {"$StringTable@Asset::GetStringTable()", BindMember<GSOAsset, &GSOAsset::GetStringTable>},
    {"$Soup@Asset::GetConfigSoup()", BindMember<GSOAsset, &GSOAsset::GetConfigSoup>},
    {"$KUIDList@Asset::GetDependencyList()", BindMember<GSOAsset, &GSOAsset::GetDependencyList>},
    {"$bool@Asset::SupportsKestroBuildVersion(float)",
     BindMember<GSOAsset, &GSOAsset::SupportsKestroBuildVersion>},
    {"$Image@Asset::LoadImage(string)", BindMember<GSOAsset, &GSOAsset::LoadImage>},
    {"$bool@Asset::IsLocallyModified()", BindMember<GSOAsset, &GSOAsset::IsLocallyModified>},
    {"$string@Asset::GetInfoURL()", BindMember<GSOAsset, &GSOAsset::GetInfoURL>},
    {"$bool@Asset::GetIsFavorite()", BindMember<GSOAsset, &GSOAsset::GetIsFavorite>},
    {"$void@Asset::SetIsFavorite(bool)", BindMember<GSOAsset, &GSOAsset::SetIsFavorite>},
    {"$Asset@Asset::GetParent()", BindMember<GSOAsset, &GSOAsset::GetParent>},
    {"$string@Asset::GetCategoryEra()", BindMember<GSOAsset, &GSOAsset::GetCategoryEra>},
    {"$string@Asset::GetCategoryRegion()", BindMember<GSOAsset, &GSOAsset::GetCategoryRegion>},
    {"$Soup@Asset::GetSessionRuleData(string)",
     BindMember<GSOAsset, &GSOAsset::GetSessionRuleData>},
    {"$bool@Asset::IsBuiltIn()", BindMember<GSOAsset, &GSOAsset::IsBuiltIn>},
    {"$bool@Asset::IsOnTheVantry()", BindMember<GSOAsset, &GSOAsset::IsOnTheVantry>},
};

constexpr NativeEntry kLinkedListNatives[] = {
    {"$void@LinkedList::SortInternal(LinkedData[])", BindPlain<LinkedList::SortInternal>},
    {"$void@LinkedList::AddInternal(LinkedData[],LinkedData,bool)",
     BindPlain<LinkedList::AddInternal>},
};

constexpr NativeEntry kKestroGameObjectNatives[] = {
    {"$SecurityToken@KestroGameObject::IssueSecurityToken(KUID,string[])",
     BindMember<TokenIssuer, &TokenIssuer::IssueSecurityToken>},
    {"$SecurityToken@KestroGameObject::IssueSecurityToken(SecurityToken,KUID,string[])",
     BindMember<TokenIssuer, &TokenIssuer::ReIssueSecurityToken>},
    {"$SecurityToken@KestroGameObject::MergeSecurityTokens(SecurityToken[])",
     BindMember<TokenIssuer, &TokenIssuer::MergeSecurityTokens>},
    {"$bool@KestroGameObject::Validate(SecurityToken,KestroGameObject,string)",
     BindMember<TokenIssuer, &TokenIssuer::ValidateForObject>},
    {"$bool@KestroGameObject::Validate(SecurityToken,KUID,string)",
     BindMember<TokenIssuer, &TokenIssuer::ValidateForKUID>},
};

// Forwarded: the online layer binds them.
#define SCRIPTHOST_FORWARDED_ROW(signature, method) {signature, BindOnlineNative},
constexpr NativeEntry kOnlineAccessNatives[] = {
    SCRIPTHOST_ONLINE_ACCESS_NATIVES(SCRIPTHOST_FORWARDED_ROW)};
constexpr NativeEntry kOnlineGroupNatives[] = {
    SCRIPTHOST_ONLINE_GROUP_NATIVES(SCRIPTHOST_FORWARDED_ROW)};
#undef SCRIPTHOST_FORWARDED_ROW

constexpr NativeEntry kLibraryNatives[] = {
    {"$OnlineAccess@Library::GetOnlineAccess()",
     BindMember<GSOLibrary, &GSOLibrary::GetOnlineAccess>},
    {"$string@Library::LibraryCallNative(string,string[],GSObject[])",
     BindMember<GSOLibrary, &GSOLibrary::LibraryCallNative>},
    {"$void@Library::AddSystemMenuIcon(Asset,string,string)",
     BindMember<GSOLibrary, &GSOLibrary::AddSystemMenuIcon>},
    {"$void@Library::AddSystemMenuIcon(Asset,string,string,bool)",
     BindMember<GSOLibrary, &GSOLibrary::AddSystemMenuIconShown>},
    {"$void@Library::BlinkSystemMenuIcon(int)", BindMember<GSOLibrary, &GSOLibrary::BlinkSystemMenuIcon>},
    {"$void@Library::RemoveSystemMenuIcon()", BindMember<GSOLibrary, &GSOLibrary::RemoveSystemMenuIcon>},
    {"$void@Library::ShowSystemMenuIconMenu(Menu)",
     BindMember<GSOLibrary, &GSOLibrary::ShowSystemMenuIconMenu>},
    {"$void@Library::HideSystemMenuIconMenu()",
     BindMember<GSOLibrary, &GSOLibrary::HideSystemMenuIconMenu>},
};

constexpr NativeEntry kImageNatives[] = {
    {"$void@Image::Clear(int,int)", BindMember<GSOImage, &GSOImage::Clear>},
    {"$void@Image::Resize(int,int,bool)", BindMember<GSOImage, &GSOImage::Resize>},
    {"$int@Image::GetWidth()", BindMember<GSOImage, &GSOImage::GetWidth>},
    {"$int@Image::GetHeight()", BindMember<GSOImage, &GSOImage::GetHeight>},
    {"$void@Image::SetLineColor(float,float,float,float)",
     BindMember<GSOImage, &GSOImage::SetLineColor>},
    {"$void@Image::SetFillColor(float,float,float,float)",
     BindMember<GSOImage, &GSOImage::SetFillColor>},
    {"$void@Image::DrawPoint(int,int)", BindMember<GSOImage, &GSOImage::DrawPoint>},
    {"$void@Image::DrawRect(int,int,int,int)", BindMember<GSOImage, &GSOImage::DrawRect>},
    {"$void@Image::DrawLine(int,int,int,int)", BindMember<GSOImage, &GSOImage::DrawLine>},
    {"$void@Image::DrawCircle(int,int,int)", BindMember<GSOImage, &GSOImage::DrawCircle>},
    {"$void@Image::DrawTriangle(int,int,int,int,int,int)",
     BindMember<GSOImage, &GSOImage::DrawTriangle>},
    {"$void@Image::DrawImage(int,int,Image)", BindMember<GSOImage, &GSOImage::DrawImageAt>},
    {"$void@Image::DrawImage(int,int,int,int,Image)",
     BindMember<GSOImage, &GSOImage::DrawImageInto>},
    {"$void@Image::DrawImage(int,int,int,int,Image,int,int,int,int)",
     BindMember<GSOImage, &GSOImage::DrawImagePart>},
    {"$void@Image::SetTextFont(string,int)", BindMember<GSOImage, &GSOImage::SetTextFont>},
    {"$int@Image::MeasureTextWidth(string)", BindMember<GSOImage, &GSOImage::MeasureTextWidth>},
    {"$void@Image::DrawText(int,int,string)", BindMember<GSOImage, &GSOImage::DrawText>},
    {"$Soup@Image::ExportImage()", BindMember<GSOImage, &GSOImage::ExportImage>},
    {"$void@Image::ImportImage(Soup)", BindMember<GSOImage, &GSOImage::ImportImage>},
};

constexpr NativeEntry kKestroScriptBaseNatives[] = {
    {"$float@KestroScriptBase::GetSeconds()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSeconds>},
    {"$float@KestroScriptBase::GetNormalizedSystemTime()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetNormalizedSystemTime>},
    {"$int@KestroScriptBase::GetSystemYear()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSystemYear>},
    {"$int@KestroScriptBase::GetSystemMonth()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSystemMonth>},
    {"$int@KestroScriptBase::GetSystemDate()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSystemDate>},
    {"$int@KestroScriptBase::GetSystemHour()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSystemHour>},
    {"$int@KestroScriptBase::GetSystemMinute()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSystemMinute>},
    {"$int@KestroScriptBase::GetSystemSecond()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetSystemSecond>},
    {"$Library@KestroScriptBase::GetLibrary(KUID)",
     BindContext<KestroScriptContext, &KestroScriptContext::GetLibrary>},
    {"$Asset@KestroScriptBase::FindAsset(KUID)",
     BindContext<KestroScriptContext, &KestroScriptContext::FindAsset>},
    {"$Asset[]@KestroScriptBase::GetAssetList(string)",
     BindContext<KestroScriptContext, &KestroScriptContext::GetAssetListOfKind>},
    {"$Asset[]@KestroScriptBase::GetAssetList(string,string)",
     BindContext<KestroScriptContext, &KestroScriptContext::GetAssetListOfKindAndType>},
    {"$KUID[]@KestroScriptBase::SearchAssets(string,bool)",
     BindContext<KestroScriptContext, &KestroScriptContext::SearchAssets>},
    {"$Asset[]@KestroScriptBase::FindUpdatedAssets()",
     BindContext<KestroScriptContext, &KestroScriptContext::FindUpdatedAssets>},
    {"$Soup@KestroScriptBase::KestroSystemCall(string,Soup)",
     BindContext<KestroScriptContext, &KestroScriptContext::KestroSystemCall>},
    {"$bool@KestroScriptBase::OpenURL(string)",
     BindContext<KestroScriptContext, &KestroScriptContext::OpenURL>},
    {"$int@KestroScriptBase::QueryVantryAccess()",
     BindContext<KestroScriptContext, &KestroScriptContext::QueryVantryAccess>},
    {"$void@KestroScriptBase::Log(string)",
     BindContext<KestroScriptContext, &KestroScriptContext::Log>},
    {"$float@KestroScriptBase::GetKestroVersion()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetKestroVersion>},
    {"$int@KestroScriptBase::GetKestroBuild()",
     BindContext<KestroScriptContext, &KestroScriptContext::GetKestroBuild>},
    {"$KUID@KestroScriptBase::CloneKUID(KUID)",
     BindContext<KestroScriptContext, &KestroScriptContext::CloneKUID>},
};

constexpr NativeEntry kSecurityTokenNatives[] = {
    {"$bool@SecurityToken::IsOwnerLocallyModified()",
     BindMember<GSOSecurityToken, &GSOSecurityToken::IsOwnerLocallyModified>},
};

constexpr NativeEntry kConstructorsBaseNatives[] = {
    {"$Soup@ConstructorsBase::NewSoup()", BindPlain<ConstructorsBase::NewSoup>},
    {"$KUIDList@ConstructorsBase::NewKUIDList()", BindPlain<ConstructorsBase::NewKUIDList>},
    {"$Image@ConstructorsBase::NewImage()", BindPlain<ConstructorsBase::NewImage>},
};

constexpr NativeTable kTables[] = {
    {"KUID", kKUIDNatives},
    {"Soup", kSoupNatives},
    {"HTMLBuffer", kHTMLBufferNatives},
    {"KUIDList", kKUIDListNatives},
    {"StringTable", kStringTableNatives},
    {"Asset", kAssetNatives},
    {"LinkedList", kLinkedListNatives},
    {"KestroGameObject", kKestroGameObjectNatives},
    {"OnlineAccess", kOnlineAccessNatives},
    {"OnlineGroup", kOnlineGroupNatives},
    {"Library", kLibraryNatives},
    {"Image", kImageNatives},
    {"KestroScriptBase", kKestroScriptBaseNatives},
    {"SecurityToken", kSecurityTokenNatives},
    {"ConstructorsBase", kConstructorsBaseNatives},
};

// Registers the natives of the tables that belong to that class (a table may hold another
// class's natives too, such as a class's static side), in table order.
void BindClass(GSMachine& machine, const Qel::PString& className) {
  for (const NativeTable& table : kTables) {
    for (const NativeEntry& native : table.natives) {
      if (GSRuntime::SignatureClass(native.signature) != className.View()) continue;
      const Qel::PString signature(native.signature);
      machine.RegisterNative(native.bind != nullptr
                                 ? native.bind(className, signature)
                                 : new GSRuntime::GSUnbuiltNativeFunction(className, signature));
    }
  }
}

}  // namespace

std::span<const NativeTable> StandardNativeTables() { return kTables; }

void RegisterStandardNatives(GSMachine& machine) {
  // Each class once, bound when a library first looks one of its natives up.
  std::vector<std::string_view> classes;
  for (const NativeTable& table : kTables) {
    for (const NativeEntry& native : table.natives) {
      const std::string_view cls = GSRuntime::SignatureClass(native.signature);
      if (std::find(classes.begin(), classes.end(), cls) != classes.end()) continue;
      classes.push_back(cls);
      machine.RegisterNativeClass(Qel::PString(cls), BindClass);
    }
  }
  GSOSoup::InstallPayloadHooks();
}

}  // namespace ScriptHost
