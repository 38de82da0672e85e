// "KestroGameObject.gsl": the game object of an asset, told its asset when the host sets it up;
// it issues, merges and checks security tokens.
include "PropertyObject.gs"
include "asset.gs"
include "SecurityToken.gs"

game class KestroGameObject isclass PropertyObject {
  Asset m_asset;

  public void Init(Asset asset) {
    m_asset = asset;
  }
  public Asset GetAsset() {
    return m_asset;
  }

  public native SecurityToken IssueSecurityToken(KUID owner, string[] rights);
  public native SecurityToken IssueSecurityToken(SecurityToken token, KUID owner, string[] rights);
  public native SecurityToken MergeSecurityTokens(SecurityToken[] tokens);
  public native bool Validate(SecurityToken token, KestroGameObject issuer, string right);
  public native bool Validate(SecurityToken token, KUID issuer, string right);
};
