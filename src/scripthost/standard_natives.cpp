#include "scripthost/standard_natives.h"

#include "gsruntime/gs_machine.h"
#include "scripthost/native_binding.h"

namespace ScriptHost {

namespace {

constexpr const char* kKUIDNatives[] = {
    "$string@KUID::GetName()",      "$string@KUID::GetHTMLString()",
    "$string@KUID::GetLogString()", "$string@KUID::GetBaseString()",
    "$KUID@KUID::GetBaseKUID()",
};

constexpr const char* kSoupNatives[] = {
    "$int@Soup::CountTags()",
    "$string@Soup::GetNamedTag(string)",
    "$Soup@Soup::GetNamedSoup(string)",
    "$Soup@Soup::GetNamedSoupAdd(string)",
    "$string@Soup::GetIndexedTagName(int)",
    "$int@Soup::GetIndexForNamedTag(string)",
    "$KUID@Soup::GetNamedTagAsKUID(string)",
    "$int@Soup::GetNamedTagAsInt(string)",
    "$int@Soup::GetNamedTagAsInt(string,int)",
    "$float@Soup::GetNamedTagAsFloat(string)",
    "$float@Soup::GetNamedTagAsFloat(string,float)",
    "$void@Soup::SetNamedTag(string,string)",
    "$void@Soup::SetNamedTag(string,float)",
    "$void@Soup::SetNamedTag(string,int)",
    "$void@Soup::SetNamedTag(string,KUID)",
    "$void@Soup::SetNamedSoup(string,Soup)",
    "$void@Soup::RemoveNamedTag(string)",
    "$void@Soup::Copy(Soup)",
    "$void@Soup::Clear()",
    "$bool@Soup::IsLocked()",
    "$Soup@Soup::GetLockedReference()",
    "$void@Soup::AddUniqueNamedSoup(Soup)",
    "$void@Soup::Log()",
    "$string@Soup::AsString()",
};

constexpr const char* kHTMLBufferNatives[] = {
    "$void@HTMLBuffer::Clear()",        "$bool@HTMLBuffer::IsEmpty()",
    "$string@HTMLBuffer::AsString()",   "$void@HTMLBuffer::Print(string)",
    "$void@HTMLBuffer::Escape(string)", "$HTMLBuffer@HTMLBufferStatic::Construct()",
};

constexpr const char* kKUIDListNatives[] = {
    "$int@KUIDList::CountKUIDs()",
    "$void@KUIDList::AddKUID(KUID)",
    "$void@KUIDList::RemoveKUID(KUID)",
    "$bool@KUIDList::HasKUID(KUID)",
    "$KUID@KUIDList::GetIndexedKUID(int)",
    "$void@KUIDList::Copy(KUIDList)",
    "$void@KUIDList::Clear()",
    "$bool@KUIDList::IsLocked()",
};

constexpr const char* kStringTableNatives[] = {
    "$string@StringTable::GetLanguage()",
    "$void@StringTable::ClearParams()",
    "$void@StringTable::SetParam(int,string)",
    "$string@StringTable::GetString(string)",
};

constexpr const char* kAssetNatives[] = {
    "$KUID@Asset::GetKUID()",
    "$string@Asset::GetLocalisedName()",
    "$string@Asset::GetLocalisedDescription()",
    "$string@Asset::GetCreatorName()",
    "$KUID@Asset::LookupKUIDTable(string)",
    "$Asset@Asset::FindAsset(string)",
    "$StringTable@Asset::GetStringTable()",
    "$Soup@Asset::GetConfigSoup()",
    "$KUIDList@Asset::GetDependencyList()",
    "$bool@Asset::SupportsKestroBuildVersion(float)",
    "$Image@Asset::LoadImage(string)",
    "$bool@Asset::IsLocallyModified()",
    "$string@Asset::GetInfoURL()",
    "$bool@Asset::GetIsFavorite()",
    "$void@Asset::SetIsFavorite(bool)",
    "$Asset@Asset::GetParent()",
    "$string@Asset::GetCategoryEra()",
    "$string@Asset::GetCategoryRegion()",
    "$Soup@Asset::GetSessionRuleData(string)",
    "$bool@Asset::IsBuiltIn()",
    "$bool@Asset::IsOnTheVantry()",
};

constexpr const char* kLinkedListNatives[] = {
    "$void@LinkedList::SortInternal(LinkedData[])",
    "$void@LinkedList::AddInternal(LinkedData[],LinkedData,bool)",
};

constexpr const char* kKestroGameObjectNatives[] = {
    "$SecurityToken@KestroGameObject::IssueSecurityToken(KUID,string[])",
    "$SecurityToken@KestroGameObject::IssueSecurityToken(SecurityToken,KUID,string[])",
    "$SecurityToken@KestroGameObject::MergeSecurityTokens(SecurityToken[])",
    "$bool@KestroGameObject::Validate(SecurityToken,KestroGameObject,string)",
    "$bool@KestroGameObject::Validate(SecurityToken,KUID,string)",
};

constexpr const char* kOnlineAccessNatives[] = {
    "$void@OnlineAccess::Connect()",
    "$int@OnlineAccess::GetStatus()",
    "$void@OnlineAccess::Disconnect()",
    "$string@OnlineAccess::GetUsername()",
    "$int@OnlineAccess::GetLocalData(string,Soup)",
    "$int@OnlineAccess::SetLocalData(string,Soup)",
    "$int@OnlineAccess::GetProfileData(string,Soup)",
    "$int@OnlineAccess::SetProfileData(string,Soup)",
    "$int@OnlineAccess::PostMessage(string,Soup)",
    "$int@OnlineAccess::CollectMessage(string,Soup)",
    "$OnlineGroup@OnlineAccess::CreateGroup(int)",
    "$OnlineGroup@OnlineAccess::OpenGroup(string,int)",
    "$int@OnlineAccess::PostOfflineMessage(Soup)",
    "$int@OnlineAccess::CollectOfflineMessage(Soup)",
    "$bool@OnlineAccess::CanAccessMultiplayer()",
};

constexpr const char* kOnlineGroupNatives[] = {
    "$void@OnlineGroup::Connect()",
    "$int@OnlineGroup::GetStatus()",
    "$void@OnlineGroup::Disconnect()",
    "$string@OnlineGroup::GetOnlineGroupCookie()",
    "$void@OnlineGroup::AddUser(string)",
    "$void@OnlineGroup::RemoveUser(string)",
    "$int@OnlineGroup::CountUsers()",
    "$string@OnlineGroup::GetIndexedUser(int)",
    "$int@OnlineGroup::FindUser(string)",
    "$int@OnlineGroup::GetUserStatus(int)",
    "$int@OnlineGroup::PostMessage(Soup)",
    "$int@OnlineGroup::CollectMessage(string,Soup)",
    "$void@OnlineGroup::SetModeFlags(int,int)",
    "$void@OnlineGroup::SetUserModeFlags(string,int,int)",
    "$int@OnlineGroup::GetUserModeFlags(string)",
};

constexpr const char* kLibraryNatives[] = {
    "$OnlineAccess@Library::GetOnlineAccess()",
    "$string@Library::LibraryCallNative(string,string[],GSObject[])",
    "$void@Library::AddSystemMenuIcon(Asset,string,string)",
    "$void@Library::AddSystemMenuIcon(Asset,string,string,bool)",
    "$void@Library::BlinkSystemMenuIcon(int)",
    "$void@Library::RemoveSystemMenuIcon()",
    "$void@Library::ShowSystemMenuIconMenu(Menu)",
    "$void@Library::HideSystemMenuIconMenu()",
};

constexpr const char* kImageNatives[] = {
    "$void@Image::Clear(int,int)",
    "$void@Image::Resize(int,int,bool)",
    "$int@Image::GetWidth()",
    "$int@Image::GetHeight()",
    "$void@Image::SetLineColor(float,float,float,float)",
    "$void@Image::SetFillColor(float,float,float,float)",
    "$void@Image::DrawPoint(int,int)",
    "$void@Image::DrawRect(int,int,int,int)",
    "$void@Image::DrawLine(int,int,int,int)",
    "$void@Image::DrawCircle(int,int,int)",
    "$void@Image::DrawTriangle(int,int,int,int,int,int)",
    "$void@Image::DrawImage(int,int,Image)",
    "$void@Image::DrawImage(int,int,int,int,Image)",
    "$void@Image::DrawImage(int,int,int,int,Image,int,int,int,int)",
    "$void@Image::SetTextFont(string,int)",
    "$int@Image::MeasureTextWidth(string)",
    "$void@Image::DrawText(int,int,string)",
    "$Soup@Image::ExportImage()",
    "$void@Image::ImportImage(Soup)",
};

constexpr const char* kKestroScriptBaseNatives[] = {
    "$float@KestroScriptBase::GetSeconds()",
    "$float@KestroScriptBase::GetNormalizedSystemTime()",
    "$int@KestroScriptBase::GetSystemYear()",
    "$int@KestroScriptBase::GetSystemMonth()",
    "$int@KestroScriptBase::GetSystemDate()",
    "$int@KestroScriptBase::GetSystemHour()",
    "$int@KestroScriptBase::GetSystemMinute()",
    "$int@KestroScriptBase::GetSystemSecond()",
    "$Library@KestroScriptBase::GetLibrary(KUID)",
    "$Asset@KestroScriptBase::FindAsset(KUID)",
    "$Asset[]@KestroScriptBase::GetAssetList(string)",
    "$Asset[]@KestroScriptBase::GetAssetList(string,string)",
    "$KUID[]@KestroScriptBase::SearchAssets(string,bool)",
    "$Asset[]@KestroScriptBase::FindUpdatedAssets()",
    "$Soup@KestroScriptBase::KestroSystemCall(string,Soup)",
    "$bool@KestroScriptBase::OpenURL(string)",
    "$int@KestroScriptBase::QueryVantryAccess()",
    "$void@KestroScriptBase::Log(string)",
    "$float@KestroScriptBase::GetKestroVersion()",
    "$int@KestroScriptBase::GetKestroBuild()",
    "$KUID@KestroScriptBase::CloneKUID(KUID)",
};

constexpr const char* kSecurityTokenNatives[] = {
    "$bool@SecurityToken::IsOwnerLocallyModified()",
};

constexpr const char* kConstructorsBaseNatives[] = {
    "$Soup@ConstructorsBase::NewSoup()",
    "$KUIDList@ConstructorsBase::NewKUIDList()",
    "$Image@ConstructorsBase::NewImage()",
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

}  // namespace

std::span<const NativeTable> StandardNativeTables() { return kTables; }

void RegisterStandardNatives(GSMachine& machine) {
  for (const NativeTable& table : kTables) {
    for (const char* signature : table.signatures) {
      const Qel::PString className(GSRuntime::SignatureClass(signature));
      machine.RegisterNative(new GSRuntime::GSUnbuiltNativeFunction(className, signature));
    }
  }
}

}  // namespace ScriptHost
