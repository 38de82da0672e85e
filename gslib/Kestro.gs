// "Kestro.gsl": every standard unit at once, what an asset's script includes first.
include "gs.gs"
include "worldcoordinate.gs"
include "orientation.gs"
include "kuid.gs"
include "Soup.gs"
include "HTMLBuffer.gs"
include "KUIDList.gs"
include "StringTable.gs"
include "Image.gs"
include "asset.gs"
include "SecurityToken.gs"
include "PropertyObject.gs"
include "KestroGameObject.gs"
include "OnlineGroup.gs"
include "OnlineAccess.gs"
include "Menu.gs"
include "Library.gs"
include "LinkedData.gs"
include "Constructors.gs"
include "KestroScriptBase.gs"
include "Trackside.gs"
include "Signal.gs"
include "Vehicle.gs"

// A unit declares at least one class of its own.
static class Kestro {
};
