// "Trackside.gsl": a game object placed beside the track.
include "KestroGameObject.gs"

game class Trackside isclass KestroGameObject {
};
