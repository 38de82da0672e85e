// "Vehicle.gsl": a game object that runs on the track.
include "KestroGameObject.gs"

game class Vehicle isclass KestroGameObject {
};
