// The scene's shapes and the proxy drawn in the workspace view: redrawn whenever the desk's list
// of shapes changes; the proxy follows each state.
import { THREE } from './scene.js';

const MATERIAL = () => new THREE.MeshStandardMaterial({ color: 0xe0a23b, transparent: true, opacity: 0.75, side: THREE.DoubleSide });

function shapeObject(shape, workspace) {
  if (shape.kind === 'sphere') {
    const mesh = new THREE.Mesh(new THREE.SphereGeometry(shape.radius, 32, 20), MATERIAL());
    mesh.position.set(...shape.position);
    return mesh;
  }
  if (shape.kind === 'box') {
    const mesh = new THREE.Mesh(new THREE.BoxGeometry(...shape.size), MATERIAL());
    mesh.position.set(...shape.position);
    return mesh;
  }
  // A plane: a square across the workspace, facing its normal.
  const mesh = new THREE.Mesh(new THREE.PlaneGeometry(2 * workspace, 2 * workspace), MATERIAL());
  mesh.position.set(...shape.point);
  mesh.quaternion.setFromUnitVectors(new THREE.Vector3(0, 0, 1), new THREE.Vector3(...shape.normal).normalize());
  return mesh;
}

export class SceneShapes {
  constructor(scene, workspace) {
    this.workspace = workspace;
    this.group = new THREE.Group();
    scene.add(this.group);
    this.proxy = new THREE.Mesh(new THREE.SphereGeometry(0.005, 16, 12), new THREE.MeshStandardMaterial({ color: 0x2e9c6a }));
    this.proxy.visible = false;
    scene.add(this.proxy);
    this.drawn = '[]';
  }

  show(shapes, state) {
    const described = JSON.stringify(shapes);
    if (described !== this.drawn) {
      this.drawn = described;
      this.group.clear();
      for (const shape of shapes) this.group.add(shapeObject(shape, this.workspace));
    }
    // The proxy where it stands apart from the arm: on a surface the arm pushes into.
    this.proxy.visible = Boolean(state?.proxy) && shapes.length > 0;
    if (this.proxy.visible) this.proxy.position.set(...state.proxy);
  }
}
